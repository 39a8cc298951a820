// The computing core of the merge: reading names from the list, the header
// consistency rule, the merged header and its size estimate, and the layout
// rules that an input must meet to be copied. Nothing here prints or exits.
#ifndef ZANDREL_MERGE_CORE_H
#define ZANDREL_MERGE_CORE_H

#include "Kelvane_LiDAR.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace zandrel {

// Whitespace-separated names of any length from a text stream.
class NameReader {
public:
    enum class Status { Name, End, ReadError, NulByte };
    explicit NameReader(std::FILE *list) : list_(list) {}
    Status next(std::string &name);

private:
    std::FILE *list_;
};

// The first of the seven fields that must agree in every listed file.
enum class Mismatch { None, XScale, YScale, ZScale, XOffset, YOffset, ZOffset, RecordLength };
// Compares h with the reference ref; doubles compare exactly (+0.0 equals
// -0.0, a NaN equals nothing).
Mismatch first_mismatch(const LAS12Header &ref, const LAS12Header &h);

// A merged header must count fewer points than this.
constexpr std::uint64_t kPointLimit = 2147483647u;
// An output of this many bytes or more draws the size warning.
constexpr double kSizeWarning = 2147483647.0;

// The merged header: the first file's header with the point counts summed
// and the bounding box widened by every file that holds points.
class HeaderMerge {
public:
    // Adds the next file in list order; false once the running total reaches
    // the point limit (the file is then not merged).
    bool add(const LAS12Header &h);
    const LAS12Header &merged() const { return merged_; }
    std::uint64_t total_points() const { return total_; }
    std::size_t files() const { return files_; }
    // Header and point records of the merged file, from the last header added.
    double estimated_size() const;

private:
    LAS12Header merged_{};
    std::uint64_t total_ = 0;
    std::size_t files_ = 0;
    bool has_box_ = false;
    std::uint16_t last_header_size_ = 0;
    std::uint16_t last_record_length_ = 0;
};

// What keeps an input from being copied as its header describes it.
struct LayoutProblem {
    enum class Kind { None, DataInsideHeader, ShorterThanData, ShorterThanRecords };
    Kind kind = Kind::None;
    std::int64_t needed = 0;  // bytes the header calls for
};
// first: the first listed file, whose bytes 227 to OffsetToData go to the output.
LayoutProblem check_layout(const LAS12Header &h, std::int64_t file_size, bool first);

// Reads n bytes at a file position; false when they cannot all be read.
using ReadAt = std::function<bool(std::uint32_t position, unsigned char *buf, std::size_t n)>;

// End of the first file's bytes that the output carries behind the header:
// any header extension up to HeaderSize, the chain of whole variable-length
// records, and the LAS 1.0 point data start signature (CC DD) right behind
// them. Whatever else lies before OffsetToData is padding or leftover writer
// memory, which the output holds as zeros.
std::uint32_t end_of_carried_bytes(const LAS12Header &h, const ReadAt &read_at);

// Byte count of an input's point records.
inline std::int64_t record_bytes(const LAS12Header &h) {
    return static_cast<std::int64_t>(h.NumberOfPointReturns) * h.PointDataRecordLength;
}

}  // namespace zandrel

#endif
