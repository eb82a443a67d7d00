// libFuzzer target: any text given to the HEX loader is either loaded into an image that fits and
// holds data for the unit, or refused, and nothing outside the text or the image is touched.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/update.h"
#include "console/console.h"
#include "hex/hex_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FILE* sink = std::fopen("/dev/null", "w");
    SetConsoleStreams(sink, nullptr);
    const int result = LoadHexText(data, size);
    if (ImageLength > IMAGE_CAPACITY || (result != 0 && result != 1)) {
        std::abort();
    }
    const std::vector<ImageRange> ranges = FilledRanges();
    for (const ImageRange& range : ranges) {
        if (range.Start >= range.End || range.End > ImageLength) {
            std::abort();
        }
    }
    // An image with no byte for the unit is never loaded: it would be sent as a blank block.
    if (result == 0 && (ranges.empty() || ImageLength == 0)) {
        std::abort();
    }
    ReleaseResources();
    return 0;
}
