#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>

#include <orvex/reverse_event_iterator.hpp>

namespace orvex {

// Builds reverse iterators that read `block_size` bytes at a time, so that tests put line
// ends, CR LF pairs and long lines across block edges with small files.
class ReverseIteratorSeam {
 public:
  static std::unique_ptr<OrvexReverseEventIterator> make(const std::filesystem::path& path,
                                                         const ReverseSelection& selection,
                                                         std::size_t block_size) {
    return std::unique_ptr<OrvexReverseEventIterator>(
        new OrvexReverseEventIterator(path, selection, block_size));
  }
};

}  // namespace orvex
