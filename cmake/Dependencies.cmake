# Third-party dependencies, collected into one interface target.
add_library(tb_deps INTERFACE)
find_package(Threads REQUIRED)
target_link_libraries(tb_deps INTERFACE Threads::Threads)
# Where the server library is compiled from its header (Windows, the thread
# sanitizer build), it listens with a full queue; keep in step with
# platform/listen_socket.h.
target_compile_definitions(tb_deps INTERFACE CPPHTTPLIB_LISTEN_BACKLOG=512)

if(TB_WINDOWS)
  # Cross build: the full single-header cpp-httplib and the SQLite amalgamation
  # are produced from Debian's source packages by scripts/fetch-win-sources.sh,
  # which also copies the nlohmann-json headers there.
  set(TB_WIN_THIRD_PARTY "${CMAKE_SOURCE_DIR}/build/win-third-party" CACHE PATH
      "Folder holding httplib.h and sqlite3.c/.h for the Windows build")
  if(NOT EXISTS "${TB_WIN_THIRD_PARTY}/httplib.h" OR NOT EXISTS "${TB_WIN_THIRD_PARTY}/sqlite3.c"
     OR NOT EXISTS "${TB_WIN_THIRD_PARTY}/nlohmann/json.hpp")
    message(FATAL_ERROR "Run scripts/fetch-win-sources.sh first (missing ${TB_WIN_THIRD_PARTY})")
  endif()
  add_library(tb_sqlite3 STATIC "${TB_WIN_THIRD_PARTY}/sqlite3.c")
  target_include_directories(tb_sqlite3 PUBLIC "${TB_WIN_THIRD_PARTY}")
  target_compile_definitions(tb_sqlite3 PRIVATE SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION)
  target_include_directories(tb_deps INTERFACE "${TB_WIN_THIRD_PARTY}")
  target_compile_definitions(tb_deps INTERFACE _WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN)
  target_link_libraries(tb_deps INTERFACE tb_sqlite3 ws2_32 winspool gdi32 wtsapi32 userenv advapi32 shell32 crypt32)
  target_link_options(tb_deps INTERFACE -static -static-libgcc -static-libstdc++)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
  pkg_check_modules(SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)
  pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
  find_package(nlohmann_json 3 REQUIRED)
  find_package(OpenSSL REQUIRED)
  find_package(Cups REQUIRED)
  # The thread sanitizer only sees the locks of code it instruments, so its
  # build compiles the server from the full single header instead of linking
  # the prebuilt library.
  set(TB_HTTPLIB_SINGLE_HEADER "" CACHE FILEPATH
      "Full single-header httplib.h to compile in instead of linking libcpp-httplib")
  if(TB_HTTPLIB_SINGLE_HEADER)
    set(single_dir "${CMAKE_BINARY_DIR}/httplib-single")
    configure_file("${TB_HTTPLIB_SINGLE_HEADER}" "${single_dir}/httplib.h" COPYONLY)
    target_include_directories(tb_deps BEFORE INTERFACE "${single_dir}")
    set(httplib_target "")
  else()
    set(httplib_target PkgConfig::HTTPLIB)
  endif()
  target_link_libraries(tb_deps INTERFACE ${httplib_target} PkgConfig::SQLITE3 PkgConfig::SYSTEMD
    nlohmann_json::nlohmann_json OpenSSL::Crypto Cups::Cups ${CMAKE_DL_LIBS})
endif()
