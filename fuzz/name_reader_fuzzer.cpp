// The list reader on any bytes: the names are the runs of characters between
// C-locale white space, in order, until a name that holds a NUL byte.
#include "merge_core.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {
bool is_space(unsigned char ch) { return ch == ' ' || (ch >= '\t' && ch <= '\r'); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // The names the reader must give, and whether a NUL ends them.
    std::vector<std::string> expected;
    bool nul = false;
    std::string word;
    for (std::size_t k = 0; k <= size && !nul; ++k) {
        if (k == size || is_space(data[k])) {
            if (!word.empty()) expected.push_back(word);
            word.clear();
        } else if (data[k] == 0) {
            nul = true;
        } else {
            word.push_back(static_cast<char>(data[k]));
        }
    }

    static const unsigned char kNone = 0;
    std::FILE *list = fmemopen(const_cast<std::uint8_t *>(size ? data : &kNone), size ? size : 1, "r");
    if (!list) std::abort();
    if (size == 0) std::fgetc(list);  // an empty stream: the one byte is read away
    zandrel::NameReader reader(list);
    std::string name;
    std::size_t count = 0;
    zandrel::NameReader::Status status;
    while ((status = reader.next(name)) == zandrel::NameReader::Status::Name) {
        if (count >= expected.size() || name != expected[count]) std::abort();
        ++count;
    }
    std::fclose(list);
    const auto want = nul ? zandrel::NameReader::Status::NulByte : zandrel::NameReader::Status::End;
    if (status != want || count != expected.size()) std::abort();
    return 0;
}
