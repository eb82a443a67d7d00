// libFuzzer target: any text given to the HEX loader is either loaded into an image that fits or
// refused, and nothing outside the text or the image is touched.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

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
    for (const ImageRange& range : FilledRanges()) {
        if (range.Start >= range.End || range.End > ImageLength) {
            std::abort();
        }
    }
    ReleaseResources();
    return 0;
}
