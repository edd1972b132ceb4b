// Throughput of the JSON pull parser over a generated document of about 1 MB
// (objects of member names, strings with escapes and numbers), read from a
// buffer as the tool does, and the same bytes read through a user callback
// source to show what the per-byte call costs.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "json/json_parser.h"

namespace {

std::string make_document(size_t target_size) {
  std::string doc = "[\n";
  unsigned n = 0;
  while (doc.size() < target_size) {
    if (n > 0) doc += ",\n";
    char record[320];
    std::snprintf(record, sizeof record,
                  "  {\"id\": %u, \"name\": \"lamp \\\"%u\\\" \\u00e9t\\u00e9\\n\", "
                  "\"level\": %d.%02u, \"scale\": %ue-%u, \"on\": %s, \"note\": null, "
                  "\"groups\": [%u, %u, %u], \"path\": \"\\/etc\\/config\\/dali\\tx\"}",
                  n, n % 64, static_cast<int>(n % 255) - 127, n % 100, n % 9 + 1, n % 7,
                  n % 2 ? "true" : "false", n % 16, (n + 1) % 16, (n + 2) % 16);
    doc += record;
    ++n;
  }
  doc += "\n]\n";
  return doc;
}

const std::string& document() {
  static const std::string doc = make_document(1 << 20);
  return doc;
}

// Reads every token; returns the token count.
int64_t drain(torvi::JsonParser& p) {
  int64_t tokens = 0;
  int token;
  while ((token = torvi::jp_next(p)) != torvi::TOKEN_DONE && token != torvi::TOKEN_ERROR) {
    ++tokens;
  }
  return token == torvi::TOKEN_DONE ? tokens : -1;
}

bool document_parses() {
  const std::string& doc = document();
  torvi::JsonParser p{};
  torvi::jp_open_buffer(p, doc.data(), doc.size());
  torvi::jp_set_streaming(p, false);
  bool ok = drain(p) > 0;
  torvi::jp_close(p);
  return ok;
}

struct Cursor {
  const std::string* text;
  size_t at;
};

int cursor_get(void* data) {
  auto* c = static_cast<Cursor*>(data);
  return c->at < c->text->size() ? static_cast<unsigned char>((*c->text)[c->at++]) : -1;
}

int cursor_peek(void* data) {
  auto* c = static_cast<Cursor*>(data);
  return c->at < c->text->size() ? static_cast<unsigned char>((*c->text)[c->at]) : -1;
}

// Parses the generated document once per iteration through the source that
// `open` sets up, and reports bytes and tokens per second.
template <typename Open>
void run_parser(benchmark::State& state, Open open) {
  const std::string& doc = document();
  if (!document_parses()) {
    state.SkipWithError("parser failed on the generated document");
    return;
  }
  int64_t tokens = 0;
  for (auto _ : state) {
    Cursor cursor{&doc, 0};
    torvi::JsonParser p{};
    open(p, doc, cursor);
    torvi::jp_set_streaming(p, false);
    tokens = drain(p);
    torvi::jp_close(p);
    benchmark::DoNotOptimize(tokens);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
  state.counters["tokens"] = static_cast<double>(tokens);
  state.counters["tokens/s"] = benchmark::Counter(static_cast<double>(tokens),
                                                  benchmark::Counter::kIsIterationInvariantRate);
}

void BM_JsonBuffer(benchmark::State& state) {
  run_parser(state, [](torvi::JsonParser& p, const std::string& doc, Cursor&) {
    torvi::jp_open_buffer(p, doc.data(), doc.size());
  });
}
BENCHMARK(BM_JsonBuffer)->Unit(benchmark::kMillisecond);

void BM_JsonUserSource(benchmark::State& state) {
  run_parser(state, [](torvi::JsonParser& p, const std::string&, Cursor& cursor) {
    torvi::jp_open_user(p, cursor_get, cursor_peek, &cursor);
  });
}
BENCHMARK(BM_JsonUserSource)->Unit(benchmark::kMillisecond);

}  // namespace
