// The transfers and the status query against korvan-sim.
#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

#include "action/actions.h"
#include "link/transfers.h"
#include "link/verbose.h"
#include "sim_fixture.h"

namespace torvi {
namespace {

using test::ConsoleCapture;

class LinkTest : public test::SimTest {
 protected:
  void TearDown() override {
    verbose = 0;
    SimTest::TearDown();
  }
};

ImageRecord image_of(size_t size) {
  ImageRecord record;
  for (size_t i = 0; i < size; ++i)
    record.data.push_back(static_cast<std::uint8_t>(i * 7 + (i >> 9)));
  record.size = size;
  return record;
}

// The verbose trace shows libcurl's request on standard error, and a
// controller that does not answer is named by libcurl's reason. (What each
// fault of a reachable controller does is the fault matrix's business.)
TEST_F(LinkTest, GetStatusVerboseAndNoController) {
  const std::string fetching =
      "status\tfetching URL '" + std::string(ip()) + "/api/v100/status.ssi'.\nstatus\treceived ";
  verbose = 1;
  {
    ConsoleCapture capture;
    EXPECT_EQ(get_status(ip()), 0);
    EXPECT_EQ(capture.out().rfind(fetching, 0), 0u) << capture.out();
    EXPECT_TRUE(capture.out().ends_with(" bytes.\nmodel_name=KORVAN-4\r\n")) << capture.out();
    EXPECT_NE(capture.err().find("GET /api/v100/status.ssi"), std::string::npos);
  }
  verbose = 0;
  ConsoleCapture capture;
  std::string dead = test::dead_address();
  EXPECT_EQ(get_status(dead.c_str()), 1);
  EXPECT_EQ(capture.out(), "status\tfetching URL '" + dead + "/api/v100/status.ssi'.\n");
  EXPECT_EQ(capture.err(), "curl_easy_perform() failed: Couldn't connect to server\n");
}

// A reply is kept up to 64 MiB; one byte more aborts the fetch with a write
// error, and nothing of it is kept.
TEST_F(LinkTest, FetchKeepsAtMost64MiB) {
  httplib::Server server;
  server.Get(R"(/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
    response.set_content_provider(std::stoull(request.matches[1]), "application/octet-stream",
                                  [](size_t, size_t length, httplib::DataSink& sink) {
                                    static const std::string block(65536, 'x');
                                    return sink.write(block.data(), std::min(length, block.size()));
                                  });
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread serving([&] { server.listen_after_bind(); });
  for (const unsigned long long size : {67108864ull, 67108865ull}) {
    const std::string url = "127.0.0.1:" + std::to_string(port) + "/" + std::to_string(size);
    const bool over = size > 67108864;
    ReceiveBuffer buffer;
    ConsoleCapture capture;
    EXPECT_EQ(link_fetch("status", url.c_str(), buffer), over ? 1 : 0);
    const std::string fetching = "status\tfetching URL '" + url + "'.\n";
    EXPECT_EQ(capture.out(), over ? fetching : fetching + "status\treceived 67108864 bytes.\n");
    EXPECT_EQ(capture.err(),
              over
                  ? "curl_easy_perform() failed: Failed writing received data to disk/application\n"
                  : "");
    EXPECT_EQ(buffer.size(), over ? 0u : size);
  }
  server.stop();
  serving.join();
}

// Sizes around the 512-byte block and one of many blocks arrive unchanged.
// (Lost packets and a stalled upload are met in the fault matrix.)
TEST_F(LinkTest, UploadSendsTheRecordUnchanged) {
  for (const size_t size : {1, 511, 512, 513, 300000}) {
    sim().clear_events();
    const ImageRecord record = image_of(size);
    ConsoleCapture capture;
    ASSERT_EQ(firmware_push_tftp(ip(), record), 0) << size << capture.err();
    EXPECT_EQ(capture.out(),
              "firmware_push_tftp\tpushing URL 'tftp://" + std::string(ip()) + "/flashraw.bin'.\n");
    EXPECT_EQ(capture.err().find("curl_easy_perform() failed"), std::string::npos);
    const auto uploads = events_of("upload");
    ASSERT_EQ(uploads.size(), 1u) << size;
    EXPECT_EQ(uploads[0].data, record.data) << size;
  }
}

}  // namespace
}  // namespace torvi
