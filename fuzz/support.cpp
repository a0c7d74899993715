#include "support.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

#include <orvex/errors.hpp>

namespace orvex::fuzz {

namespace {

// Removes the scratch folder at a normal exit; crashes leave it for inspection.
struct ScratchOwner {
  std::filesystem::path path;
  ~ScratchOwner() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
};

bool is_json_space(char ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

}  // namespace

const std::filesystem::path& scratch_dir(const char* prefix) {
  static ScratchOwner owner;
  if (owner.path.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + prefix + ".XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
      fail("mkdtemp " + pattern + ": " + std::strerror(errno));
    owner.path = std::filesystem::path(pattern).lexically_normal();
  }
  return owner.path;
}

void write_file(const std::filesystem::path& path, std::string_view bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) fail("open " + path.string() + ": " + std::strerror(errno));
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) fail("write " + path.string() + ": " + std::strerror(errno));
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  if (::close(fd) != 0) fail("close " + path.string() + ": " + std::strerror(errno));
}

void fail(const std::string& what) {
  std::fprintf(stderr, "\n==== orvex fuzz: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

void note(std::string_view what) {
  static const bool verbose = std::getenv("ORVEX_FUZZ_VERBOSE") != nullptr;
  if (verbose)
    std::fprintf(stderr, "orvex fuzz: %.*s\n", static_cast<int>(what.size()), what.data());
}

std::string printable(std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (char ch : text) {
    auto byte = static_cast<unsigned char>(ch);
    if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
      out += ch;
    } else {
      out += "\\x";
      out += kDigits[byte >> 4];
      out += kDigits[byte & 0xf];
    }
  }
  return out;
}

std::string dump(const OrvexEvent& value) {
  constexpr std::size_t kLimit = 4000;
  using Object = OrvexEvent::object_t;
  using Array = OrvexEvent::array_t;
  struct Frame {
    const OrvexEvent* container;
    std::size_t next;
  };
  std::string out;
  auto scalar = [&out](const OrvexEvent& item) {
    out += item.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  };
  auto open = [&out](const OrvexEvent& item) { out += item.is_object() ? '{' : '['; };
  if (!value.is_structured()) {
    scalar(value);
    return out;
  }
  std::vector<Frame> stack{{&value, 0}};
  open(value);
  while (!stack.empty() && out.size() < kLimit) {
    Frame& frame = stack.back();
    const auto* object = frame.container->get_ptr<const Object*>();
    const auto* array = frame.container->get_ptr<const Array*>();
    std::size_t size = object != nullptr ? object->size() : array->size();
    if (frame.next == size) {
      out += object != nullptr ? '}' : ']';
      stack.pop_back();
      continue;
    }
    if (frame.next > 0) out += ',';
    const OrvexEvent* item;
    if (object != nullptr) {
      // By position: the map's operator[] takes a key.
      const auto& member = *(object->begin() + static_cast<std::ptrdiff_t>(frame.next));
      scalar(OrvexEvent(member.first));
      out += ':';
      item = &member.second;
    } else {
      item = &(*array)[frame.next];
    }
    ++frame.next;
    if (item->is_structured()) {
      open(*item);
      stack.push_back({item, 0});  // invalidates `frame`
    } else {
      scalar(*item);
    }
  }
  if (!stack.empty()) out += "...";
  return out;
}

bool same_event(const OrvexEvent& a, const OrvexEvent& b) {
  using Object = OrvexEvent::object_t;
  using Array = OrvexEvent::array_t;
  std::vector<std::pair<const OrvexEvent*, const OrvexEvent*>> pending{{&a, &b}};
  while (!pending.empty()) {
    auto [x, y] = pending.back();
    pending.pop_back();
    if (x->is_object() != y->is_object() || x->is_array() != y->is_array()) return false;
    if (const auto* object = x->get_ptr<const Object*>()) {
      const auto& other = *y->get_ptr<const Object*>();
      if (object->size() != other.size()) return false;
      for (auto mine = object->begin(), theirs = other.begin(); mine != object->end();
           ++mine, ++theirs) {
        if (mine->first != theirs->first) return false;
        pending.emplace_back(&mine->second, &theirs->second);
      }
    } else if (const auto* array = x->get_ptr<const Array*>()) {
      const auto& other = *y->get_ptr<const Array*>();
      if (array->size() != other.size()) return false;
      for (std::size_t i = 0; i < array->size(); ++i) pending.emplace_back(&(*array)[i], &other[i]);
    } else if (*x != *y || dump(*x) != dump(*y)) {
      return false;
    }
  }
  return true;
}

bool is_known(std::string_view name) {
  static const std::string known = [] {
    const char* list = std::getenv("ORVEX_FUZZ_KNOWN");
    return " " + std::string(list != nullptr ? list : "") + " ";
  }();
  return known.find(" " + std::string(name) + " ") != std::string::npos;
}

std::optional<OrvexEvent> reference_event(std::string_view line) {
  OrvexEvent event;
  try {
    event = decode_event(line);
  } catch (const JSONDecodeError&) {
    return std::nullopt;
  }
  if (line.find('\0') != std::string_view::npos && !is_known("decode-stops-at-nul")) {
    fail("decode_event accepts a line holding a NUL byte: " + printable(line));
  }
  if (!event.is_object()) return std::nullopt;
  return event;
}

std::vector<Line> split_lines(std::string_view content) {
  std::vector<Line> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < content.size(); ++i) {
    char ch = content[i];
    if (ch != '\n' && ch != '\r') continue;
    lines.push_back({content.substr(start, i - start), start});
    if (ch == '\r' && i + 1 < content.size() && content[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < content.size()) lines.push_back({content.substr(start), start});
  return lines;
}

std::optional<std::size_t> first_invalid_utf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t size = text.size();
  for (std::size_t i = 0; i < size;) {
    unsigned char lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // The allowed range of the first trail byte excludes overlong forms, surrogates and
    // code points above U+10FFFF; later trail bytes are any continuation byte.
    std::size_t trail;
    unsigned char low = 0x80, high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
      trail = 1;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      trail = 2;
      if (lead == 0xe0) low = 0xa0;
      if (lead == 0xed) high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      trail = 3;
      if (lead == 0xf0) low = 0x90;
      if (lead == 0xf4) high = 0x8f;
    } else {
      return i;
    }
    if (size - i <= trail || bytes[i + 1] < low || bytes[i + 1] > high) return i;
    for (std::size_t k = 2; k <= trail; ++k) {
      if ((bytes[i + k] & 0xc0) != 0x80) return i;
    }
    i += trail + 1;
  }
  return std::nullopt;
}

std::optional<std::string_view> find_date_field(std::string_view line) {
  for (std::size_t start = 0; start < line.size(); ++start) {
    std::size_t at;
    if (line.compare(start, 9, "\"ISODATE\"") == 0) {
      at = start + 9;
    } else if (line.compare(start, 6, "\"DATE\"") == 0) {
      at = start + 6;
    } else {
      continue;
    }
    while (at < line.size() && is_json_space(line[at])) ++at;
    if (at == line.size() || line[at] != ':') continue;
    ++at;
    while (at < line.size() && is_json_space(line[at])) ++at;
    if (at == line.size() || line[at] != '"') continue;
    std::size_t value = at + 1;
    std::size_t close = line.find('"', value);
    if (close == std::string_view::npos || close == value) continue;
    return line.substr(value, close - value);
  }
  return std::nullopt;
}

}  // namespace orvex::fuzz
