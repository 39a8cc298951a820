// The third pass on headers cut from any bytes: the data are split into
// files of at most 227 + 255 bytes, each a header followed by its first
// bytes, whose length is taken from the data. Each file is checked as the
// merge checks it, merged, and the first one's carried bytes measured, with
// the invariants the copy relies on.
#include "las_core.h"
#include "merge_core.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    zandrel::HeaderMerge merge;
    std::uint64_t total = 0;
    bool first = true;
    for (std::size_t at = 0; at + kelvane::kHeaderBytes + 1 <= size;) {
        const std::size_t tail = data[at];
        const std::uint8_t *file = data + at + 1;
        const std::size_t available = size - at - 1;
        const std::size_t file_size = kelvane::kHeaderBytes + tail < available ? kelvane::kHeaderBytes + tail : available;
        at += 1 + file_size;

        const LAS12Header h = kelvane::decode_header(file);
        const zandrel::LayoutProblem p = zandrel::check_layout(h, static_cast<std::int64_t>(file_size), first);
        if (p.kind != zandrel::LayoutProblem::Kind::None) continue;
        // Whatever passes the layout check lies inside the file.
        if (h.OffsetToData < 227 || h.OffsetToData + zandrel::record_bytes(h) > static_cast<std::int64_t>(file_size))
            std::abort();
        if (first) {
            const std::uint32_t end = zandrel::end_of_carried_bytes(
                h, [&](std::uint32_t position, unsigned char *buf, std::size_t n) {
                    if (position > file_size || n > file_size - position) return false;
                    for (std::size_t k = 0; k < n; ++k) buf[k] = file[position + k];
                    return true;
                });
            if (end < 227 || end > h.OffsetToData) std::abort();
        }
        first = false;
        if (!merge.add(h)) {
            if (total + h.NumberOfPointReturns < zandrel::kPointLimit) std::abort();
            break;
        }
        total += h.NumberOfPointReturns;
        const LAS12Header &m = merge.merged();
        if (merge.total_points() != total || m.NumberOfPointReturns != total || total >= zandrel::kPointLimit)
            std::abort();
    }
    return 0;
}
