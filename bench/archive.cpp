// Archive step of the viewer: unpacks the event log of a report archive into a fresh
// temporary directory, then removes it, as a run of the viewer on an archive does.
//   bench_archive ARCHIVE
#include "archive.hpp"

#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s ARCHIVE\n", argv[0]);
    return 2;
  }
  try {
    // On failure the folder goes with the object, partial copy and all.
    orvex::TempFolder folder(orvex::make_temp_dir_path());
    orvex::extract_events_into(argv[1], folder.path());
    folder.remove();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  return 0;
}
