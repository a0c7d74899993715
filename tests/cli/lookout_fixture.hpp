#pragma once

// The end-to-end fixture bound to the built viewer (ORVEX_LOOKOUT_EXE, defined for cli_test
// only), with a fixture folder and the report trees the archive runs pack.
#include <filesystem>
#include <string>

#include "end_to_end.hpp"
#include "fixtures.hpp"
#include "temp_path.hpp"

namespace orvex {

class LookoutTest : public testing::EndToEndTest {
 protected:
  LookoutTest() : EndToEndTest(ORVEX_LOOKOUT_EXE) {}

  // Stages <top>/vantel/log/orvex/events holding `text`, and returns the staging folder.
  std::string stage(const std::string& top, const std::string& text) {
    dir_.write("stage/" + top + "/vantel/log/orvex/events", text);
    return (dir_.path() / "stage").string();
  }
  // A report tree below the staging folder: <top>/vantel/log/orvex/events with `events`
  // lines of events, ids 1 up, and <top>/etc/hostname.
  std::string report_tree(const std::string& top, int events) {
    std::string text;
    for (int i = 1; i <= events; ++i)
      text += testing::event_line({.id = std::to_string(i), .name = "x"});
    std::string staged = stage(top, text);
    dir_.write("stage/" + top + "/etc/hostname", "arm-1\n");
    return staged;
  }

  testing::TempDir dir_;
};

// "'<path>': <reason>" and a line feed, as the end of an error line.
inline std::string quoted_with_reason(const std::filesystem::path& path, const char* reason) {
  std::string text = "'";
  text += path.string();
  text += "': ";
  text += reason;
  text += '\n';
  return text;
}

}  // namespace orvex
