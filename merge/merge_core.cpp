#include "merge_core.h"

namespace zandrel {

namespace {
// The white space of the C locale, by which names are separated.
bool is_separator(int ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r'; }
}  // namespace

NameReader::Status NameReader::next(std::string &name) {
    name.clear();
    int ch;
    do {
        ch = std::getc(list_);
    } while (ch != EOF && is_separator(ch));
    while (ch != EOF && !is_separator(ch)) {
        // A NUL would cut the name short when it is opened: no text list holds one.
        if (ch == '\0') return Status::NulByte;
        name.push_back(static_cast<char>(ch));
        ch = std::getc(list_);
    }
    if (std::ferror(list_)) return Status::ReadError;
    return name.empty() ? Status::End : Status::Name;
}

Mismatch first_mismatch(const LAS12Header &ref, const LAS12Header &h) {
    if (!(h.XScaleFactor == ref.XScaleFactor)) return Mismatch::XScale;
    if (!(h.YScaleFactor == ref.YScaleFactor)) return Mismatch::YScale;
    if (!(h.ZScaleFactor == ref.ZScaleFactor)) return Mismatch::ZScale;
    if (!(h.XOffset == ref.XOffset)) return Mismatch::XOffset;
    if (!(h.YOffset == ref.YOffset)) return Mismatch::YOffset;
    if (!(h.ZOffset == ref.ZOffset)) return Mismatch::ZOffset;
    if (h.PointDataRecordLength != ref.PointDataRecordLength) return Mismatch::RecordLength;
    return Mismatch::None;
}

bool HeaderMerge::add(const LAS12Header &h) {
    total_ += h.NumberOfPointReturns;
    if (total_ >= kPointLimit) return false;
    last_header_size_ = h.HeaderSize;
    last_record_length_ = h.PointDataRecordLength;
    const bool has_points = h.NumberOfPointReturns > 0;
    if (files_++ == 0) {
        merged_ = h;
        has_box_ = has_points;
        return true;
    }
    // A file without points has no box: its extents (0.0 in real files)
    // would stretch the merged box to the origin.
    if (has_points && !has_box_) {
        merged_.MinX = h.MinX;
        merged_.MinY = h.MinY;
        merged_.MinZ = h.MinZ;
        merged_.MaxX = h.MaxX;
        merged_.MaxY = h.MaxY;
        merged_.MaxZ = h.MaxZ;
        has_box_ = true;
    } else if (has_points) {
        if (merged_.MinX > h.MinX) merged_.MinX = h.MinX;
        if (merged_.MinY > h.MinY) merged_.MinY = h.MinY;
        if (merged_.MinZ > h.MinZ) merged_.MinZ = h.MinZ;
        if (h.MaxX > merged_.MaxX) merged_.MaxX = h.MaxX;
        if (h.MaxY > merged_.MaxY) merged_.MaxY = h.MaxY;
        if (h.MaxZ > merged_.MaxZ) merged_.MaxZ = h.MaxZ;
    }
    for (int k = 0; k < 5; ++k) merged_.NumberOfPointsByReturn[k] += h.NumberOfPointsByReturn[k];
    merged_.NumberOfPointReturns += h.NumberOfPointReturns;
    return true;
}

double HeaderMerge::estimated_size() const {
    return static_cast<double>(total_) * last_record_length_ + last_header_size_;
}

LayoutProblem check_layout(const LAS12Header &h, std::int64_t file_size, bool first) {
    LayoutProblem p;
    // Records that start inside the 227-byte header would be read from the
    // header, and in the output would overwrite it.
    if (h.OffsetToData < 227) {
        p.kind = LayoutProblem::Kind::DataInsideHeader;
        p.needed = 227;
        return p;
    }
    if (first && file_size < static_cast<std::int64_t>(h.OffsetToData)) {
        p.kind = LayoutProblem::Kind::ShorterThanData;
        p.needed = h.OffsetToData;
        return p;
    }
    const std::int64_t end = static_cast<std::int64_t>(h.OffsetToData) + record_bytes(h);
    if (file_size < end) {
        p.kind = LayoutProblem::Kind::ShorterThanRecords;
        p.needed = end;
    }
    return p;
}

std::uint32_t end_of_carried_bytes(const LAS12Header &h, const ReadAt &read_at) {
    constexpr std::uint32_t kVlrHeaderBytes = 54;
    const std::uint32_t limit = h.OffsetToData;
    std::uint32_t end = 227;
    // Records that start inside the header leave nothing to carry (and the
    // room left below would wrap).
    if (limit < end) return end;
    if (h.HeaderSize > end && h.HeaderSize <= limit) end = h.HeaderSize;
    unsigned char vlr_header[kVlrHeaderBytes];
    for (std::uint32_t k = 0; k < h.NumberOfVariableLengthRecords; ++k) {
        if (limit - end < kVlrHeaderBytes || !read_at(end, vlr_header, kVlrHeaderBytes)) break;
        const std::uint32_t length = kVlrHeaderBytes + static_cast<std::uint32_t>(vlr_header[20] | (vlr_header[21] << 8));
        if (limit - end < length) break;
        end += length;
    }
    unsigned char signature[2];
    if (limit - end >= 2 && read_at(end, signature, 2) && signature[0] == 0xCC && signature[1] == 0xDD) end += 2;
    return end;
}

}  // namespace zandrel
