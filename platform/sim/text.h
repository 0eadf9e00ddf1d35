// Text conversions of the simulated machine: Windows-1252 (its ANSI code page), UTF-8 (the
// host's) and UTF-16LE (the registry's and the wire's).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform::sim {

std::wstring WideFromCp1252(std::string_view bytes);
// Characters that Windows-1252 cannot hold become '?'; `lossless` tells whether any did.
std::string Cp1252FromWide(std::wstring_view text, bool* lossless);
// Another Windows code page N (the Central European to Vietnamese 1250-1258, Thai 874, the
// Japanese, Chinese and Korean 932, 936, 949, 950, ...) through the host's iconv ("CPN").
// A character the code page cannot hold becomes '?' and sets `usedDefault`; bytes that make
// no character become U+003F. False when the host has no such code page.
bool NarrowFromWide(unsigned codePage, std::wstring_view text, std::string* out, bool* usedDefault);
bool WideFromNarrow(unsigned codePage, std::string_view bytes, std::wstring* out);
std::string Utf8FromWide(std::wstring_view text);
// Ill-formed UTF-8 gives U+FFFD for each byte that starts no valid sequence.
std::wstring WideFromUtf8(std::string_view bytes);
std::vector<std::uint8_t> Utf16LeFromWide(std::wstring_view text);
std::wstring WideFromUtf16Le(const std::uint8_t* data, std::size_t size);

}  // namespace platform::sim
