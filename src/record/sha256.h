// SHA-256 of a run of bytes, as sha256sum prints it: the fingerprint an operator compares with the
// one a firmware's vendor publishes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// 64 lower-case hexadecimal digits.
std::string Sha256Hex(const uint8_t* bytes, size_t length);

// True for exactly 64 hexadecimal digits, in either case.
bool IsSha256Hex(const std::string& text);

// The same digits in lower case, so that two fingerprints compare as text.
std::string LowerHex(std::string text);
