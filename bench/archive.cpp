// Archive step of the viewer: unpacks the event log of a report archive into a fresh
// temporary directory, then removes it, as a run of the viewer on an archive does.
//   bench_archive ARCHIVE
#include "archive.hpp"

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <system_error>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s ARCHIVE\n", argv[0]);
    return 2;
  }
  std::filesystem::path temp_dir = orvex::make_temp_dir_path();
  try {
    std::filesystem::path events = orvex::extract_events_from_archive(argv[1], temp_dir);
    if (events == argv[1]) throw std::runtime_error("the archive has no members");
    orvex::remove_temp_dir(temp_dir);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    std::error_code ignored;
    std::filesystem::remove_all(temp_dir, ignored);
    return 1;
  }
  return 0;
}
