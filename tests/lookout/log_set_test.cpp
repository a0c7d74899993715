#include "log_set.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <orvex/errors.hpp>

#include "archive.hpp"
#include "fixtures.hpp"
#include "temp_path.hpp"

namespace orvex {
namespace {

namespace fs = std::filesystem;
using testing::sh;
using testing::TempDir;

void set_mtime(const fs::path& path, time_t when) {
  struct timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

std::string q(const fs::path& path) {
  std::string text = "'";
  text += path.string();
  text += '\'';
  return text;
}

TEST(LogSetTest, RotatedNamesAndTheirPlaceInTheSet) {
  struct Row {
    std::string rest;
    std::optional<RotatedKey> key;
  };
  const std::vector<Row> rows = {
      {".1", RotatedKey{false, -1, 0}},
      {".12.gz", RotatedKey{false, -12, 1}},
      {".3.xz", RotatedKey{false, -3, 2}},
      {".3.bz2", RotatedKey{false, -3, 3}},
      {".999999999.zst", RotatedKey{false, -999999999, 4}},
      {"-20261203", RotatedKey{true, 20261203, 0}},
      {"-20240229.gz", RotatedKey{true, 20240229, 1}},
      {"", std::nullopt},
      {".", std::nullopt},
      {".gz", std::nullopt},
      {".old", std::nullopt},
      {".1.gz.bak", std::nullopt},
      {".1.tar", std::nullopt},
      {".1000000000", std::nullopt},
      {"-2026120", std::nullopt},
      {"-202612031", std::nullopt},
      {"-20261301", std::nullopt},
      {"-20230229", std::nullopt},
      {"-2026-12-03", std::nullopt},
      {"1", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.rest);
    const std::optional<RotatedKey> key = rotated_key(row.rest);
    ASSERT_EQ(key.has_value(), row.key.has_value());
    if (!key) continue;
    EXPECT_EQ(key->dated, row.key->dated);
    EXPECT_EQ(key->number, row.key->number);
    EXPECT_EQ(key->compression, row.key->compression);
  }
}

TEST(LogSetTest, FindsEveryFormOldestFirstAndTellsCompressionByContent) {
  TempDir dir;
  const fs::path d = dir.path();
  dir.write("src", "{\"id\": 1}\n");
  sh("cd " + q(d) + " && gzip -c src > events.2.gz && xz -c src > events.3.xz && bzip2 -c src > " +
     "events.4.bz2 && zstd -q -c src > events.10.zst && gzip -c src > events.1 && cp src " +
     "events.5.gz && gzip -c src > events-20261202.gz && cp src events-20261130");
  dir.write("events", "");
  dir.write("events.1.gz", "a copy still being made");  // beside events.1: not taken
  for (const char* noise : {"events.old", "events.1.gz.bak", "events-2026120", "events-20261301",
                            "eventsX.1", "other.1", "events.6.tar"}) {
    dir.write(noise, "");
  }
  fs::create_directory(d / "events.7");
  // The numbered run was written last: the dated one is older and comes first.
  for (const char* name : {"events-20261130", "events-20261202.gz"}) set_mtime(d / name, 1000);
  for (const char* name :
       {"events.10.zst", "events.5.gz", "events.4.bz2", "events.3.xz", "events.2.gz", "events.1"}) {
    set_mtime(d / name, 2000);
  }

  std::vector<LogPart> parts = find_rotated_set(d / "events");
  std::vector<std::string> names;
  std::vector<bool> compressed;
  for (const LogPart& part : parts) {
    EXPECT_EQ(part.name, part.path);
    EXPECT_EQ(part.path.parent_path(), d);
    EXPECT_EQ(part.modified.has_value(), part.compressed);
    names.push_back(part.path.filename().string());
    compressed.push_back(part.compressed);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"events-20261130", "events-20261202.gz",
                                             "events.10.zst", "events.5.gz", "events.4.bz2",
                                             "events.3.xz", "events.2.gz", "events.1", "events"}));
  EXPECT_EQ(compressed,
            (std::vector<bool>{false, true, true, false, true, true, true, true, false}));

  // Rotated the other way round, the numbered run is the older one.
  set_mtime(d / "events-20261202.gz", 3000);
  parts = find_rotated_set(d / "events");
  ASSERT_EQ(parts.size(), 9u);
  EXPECT_EQ(parts[0].path.filename(), "events.10.zst");
  EXPECT_EQ(parts[6].path.filename(), "events-20261130");
  EXPECT_EQ(parts[7].path.filename(), "events-20261202.gz");

  // A log without rotated files is a set of one.
  TempDir lone;
  lone.write("events", "");
  EXPECT_EQ(find_rotated_set(lone.path() / "events").size(), 1u);
}

TEST(LogSetTest, DecompressesEachFormAsAStream) {
  TempDir dir;
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "{\"id\": " + std::to_string(i) + "}\n";
  dir.write("src", text);
  std::string big;
  for (std::uint64_t i = 0; i < 100000; ++i)
    big += std::to_string(i * 2654435761u % 1000003) + "\n";
  dir.write("big", big);
  const fs::path d = dir.path();
  sh("cd " + q(d) + " && gzip -c src > a.gz && xz -c src > a.xz && bzip2 -c src > a.bz2 && " +
     "zstd -q -c src > a.zst && gzip -c big | head -c 100000 > cut.gz && head -c 100 a.gz > "
     "stub.gz");
  for (const char* name : {"a.gz", "a.xz", "a.bz2", "a.zst"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(is_compressed(d / name));
    std::unique_ptr<PartStream> stream = open_decompressed(d / name);
    std::string got;
    while (auto line = stream->file().read_line()) {
      got.append(line->text);
      got += '\n';
    }
    EXPECT_EQ(got, text);
    EXPECT_EQ(stream->failure(), std::nullopt);
  }
  EXPECT_FALSE(is_compressed(d / "src"));

  // Cut short: what there is, then the failure.
  std::unique_ptr<PartStream> cut = open_decompressed(d / "cut.gz");
  std::size_t lines = 0;
  while (cut->file().read_line()) ++lines;
  EXPECT_GT(lines, 0u);
  EXPECT_LT(lines, 100000u);
  EXPECT_NE(cut->failure(), std::nullopt);
  // Cut so short that not even its start decompresses: refused at once.
  EXPECT_THROW(open_decompressed(d / "stub.gz"), ReadError);

  // A reader that stops early lets the writer go: no hang on a full pipe.
  for (int i = 0; i < 3; ++i) {
    std::unique_ptr<PartStream> early = open_decompressed(d / "a.xz");
    ASSERT_TRUE(early->file().read_line());
  }

  EXPECT_THROW(open_decompressed(d / "missing.gz"), FileNotFoundError);
}

TEST(LogSetTest, AReportArchiveGivesItsRotatedFilesWhenAsked) {
  TempDir dir;
  const std::string log = "vantel/log/orvex/";
  dir.write("stage/host/" + log + "events", "{\"id\": 3}\n");
  dir.write("stage/host/" + log + "events.1", "{\"id\": 2}\n");
  dir.write("stage/host/" + log + "events-20261201", "{\"id\": 1}\n");
  dir.write("stage/host/" + log + "events.old", "{\"id\": 0}\n");
  dir.write("stage/host/etc/events.1", "{\"id\": -1}\n");
  sh("cd " + q(dir.path() / "stage/host" / log) +
     " && gzip events-20261201 && touch -d 2026-12-01 events-20261201.gz");
  sh("tar -cJf " + q(dir.path() / "sos.tar.xz") + " -C " + q(dir.path() / "stage") + " host");

  for (bool with_rotated : {false, true}) {
    SCOPED_TRACE(with_rotated);
    TempDir into;
    const fs::path copy = extract_events_into(dir.path() / "sos.tar.xz", into.path(), nullptr,
                                              kKeepFreeMinimum, with_rotated);
    EXPECT_EQ(copy, into.path() / "host" / log / "events");
    std::vector<std::string> names;
    for (const LogPart& part : find_rotated_set(copy)) {
      names.push_back(part.path.filename().string());
    }
    const std::vector<std::string> expected =
        with_rotated ? std::vector<std::string>{"events-20261201.gz", "events.1", "events"}
                     : std::vector<std::string>{"events"};
    EXPECT_EQ(names, expected);
    EXPECT_FALSE(fs::exists(into.path() / "host/etc/events.1"));
  }
}

}  // namespace
}  // namespace orvex
