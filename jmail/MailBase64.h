// Base64 of byte strings and buffers: one line, lines of a given width, or as the
// stream encoder gives it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Returns the base64 text of the bytes in lines of width characters (the last one
// shorter), without line ends; width is rounded down to a multiple of 4 (at least
// 4). Empty bytes give no lines.
std::vector<std::string> Base64Lines(const std::string& bytes, size_t width = 76);

// Returns the base64 text of the bytes, "=" filled, without line breaks.
std::string Base64EncodeStr(const std::string& bytes);

// Returns the base64 text of the bytes as the stream encoder gives it, with its
// line ends removed: the same text as Base64EncodeStr.
std::string ProcessorBase64(const std::string& bytes);

// Writes the base64 text of length bytes at source to dest, which must hold
// 4 * ceil(length / 3) characters; no line breaks, no terminator. Sets written to
// the number of characters and returns true. When length is not a multiple of three
// and allowPadding is false, returns false and writes nothing (written untouched).
bool Base64EncodeBuf(const void* source, size_t length, char* dest, bool allowPadding, size_t& written);

// Writes the four base64 characters of the bytes b1, b2, b3 to dest.
void Base64EncodeGroup(unsigned char b1, unsigned char b2, unsigned char b3, char* dest);

// Returns the base64 character of a 6-bit value (only the low six bits count).
char Base64Char(unsigned value);
