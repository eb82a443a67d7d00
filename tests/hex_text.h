// Intel HEX text made independently of the loader, for the tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// One record, with its checksum computed here (plus `damage`, to spoil it).
inline std::string Rec(int type, unsigned offset, const std::vector<int>& data, int damage = 0) {
    char field[16];
    std::string text = ":";
    unsigned sum = static_cast<unsigned>(data.size()) + (offset >> 8) + (offset & 0xFF) +
                   static_cast<unsigned>(type);
    std::snprintf(field, sizeof(field), "%02X%04X%02X", static_cast<unsigned>(data.size()),
                  offset & 0xFFFF, static_cast<unsigned>(type));
    text += field;
    for (int byte : data) {
        std::snprintf(field, sizeof(field), "%02X", static_cast<unsigned>(byte));
        text += field;
        sum += static_cast<unsigned>(byte);
    }
    std::snprintf(field, sizeof(field), "%02X",
                  (0x100u - (sum & 0xFFu) + static_cast<unsigned>(damage)) & 0xFFu);
    return text + field + "\n";
}

const std::string END_RECORD = ":00000001FF\n";

// The whole image as a file: 16-byte data records, an extended linear address record at each
// 64 KiB, and the end record.
inline std::string HexFileOf(const std::vector<uint8_t>& image) {
    std::string text;
    for (size_t at = 0; at < image.size(); at += 16) {
        if (at % 0x10000 == 0 && at > 0) {
            text += Rec(4, 0, {static_cast<int>(at >> 24), static_cast<int>((at >> 16) & 0xFF)});
        }
        std::vector<int> data(image.begin() + static_cast<long>(at),
                              image.begin() + static_cast<long>(std::min(at + 16, image.size())));
        text += Rec(0, static_cast<unsigned>(at & 0xFFFF), data);
    }
    return text + END_RECORD;
}
