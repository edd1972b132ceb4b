# The third-party libraries of the Windows build: static archives in the
# prefix that scripts/windows-deps cross-builds from Debian's source packages
# (TORVI_WINDOWS_PREFIX). They get the target names the Linux build takes
# from its find modules and pkg-config, so the modules link the same names on
# both systems. Each lists the Windows system libraries its archive calls,
# because a static archive carries no such list of its own.
set(TORVI_WINDOWS_PREFIX "" CACHE PATH "Prefix made by scripts/windows-deps")
if(NOT EXISTS "${TORVI_WINDOWS_PREFIX}/lib/libcurl.a")
  message(FATAL_ERROR "TORVI_WINDOWS_PREFIX (${TORVI_WINDOWS_PREFIX}) holds no libraries: "
                      "run scripts/windows-deps and pass the prefix it prints")
endif()

function(torvi_windows_library target archive)
  cmake_parse_arguments(L "" "" "DEFINES;LINKS" ${ARGN})
  set(path ${TORVI_WINDOWS_PREFIX}/lib/${archive})
  if(NOT EXISTS ${path})
    message(FATAL_ERROR "${path} is missing: run scripts/windows-deps again")
  endif()
  add_library(${target} STATIC IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES
    IMPORTED_LOCATION ${path}
    INTERFACE_INCLUDE_DIRECTORIES ${TORVI_WINDOWS_PREFIX}/include
    INTERFACE_COMPILE_DEFINITIONS "${L_DEFINES}"
    INTERFACE_LINK_LIBRARIES "${L_LINKS}")
endfunction()

torvi_windows_library(ZLIB::ZLIB libz.a)
torvi_windows_library(BZip2::BZip2 libbz2.a)
torvi_windows_library(PkgConfig::LZMA liblzma.a DEFINES LZMA_API_STATIC)
torvi_windows_library(PkgConfig::ZSTD libzstd.a)
torvi_windows_library(OpenSSL::Crypto libcrypto.a LINKS ws2_32 crypt32 bcrypt advapi32 user32)
torvi_windows_library(PkgConfig::LIBZIP libzip.a DEFINES ZIP_STATIC
  LINKS OpenSSL::Crypto BZip2::BZip2 PkgConfig::LZMA ZLIB::ZLIB advapi32)
torvi_windows_library(CURL::libcurl libcurl.a DEFINES CURL_STATICLIB
  LINKS ws2_32 bcrypt advapi32 crypt32)
torvi_windows_library(torvi_csv libcsv.a)
set(CSV_LIBRARY torvi_csv)

# The digest tests compare with mbedtls on Linux; here Windows' own SHA-256
# (CNG) answers the same call.
add_library(torvi_sha256_reference INTERFACE)
target_include_directories(torvi_sha256_reference INTERFACE
                           ${PROJECT_SOURCE_DIR}/cmake/windows-check/reference)
target_link_libraries(torvi_sha256_reference INTERFACE bcrypt)
set(MBEDCRYPTO_LIBRARY torvi_sha256_reference)

if(TORVI_TESTS)
  # Debian's googletest package ships the sources; built here for Windows.
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()
