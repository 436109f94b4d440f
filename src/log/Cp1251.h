// Windows-1251, the program's own code page, without Qt: the stand-in for the ANSI code
// page where the system has none, and the code page in which the dialling thread (which
// uses no Qt) writes its own Russian log texts.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace lintaro {

// Bytes 0x80..0xFF. 0x98 is undefined in Windows-1251; it keeps the C1 control U+0098
// (what Windows itself returns for it) so that every byte has a character of its own.
// clang-format off
inline constexpr std::array<char16_t, 128> Cp1251HighHalf = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};
// clang-format on

// The byte of a character; '?' for one the code page lacks.
inline char Cp1251Byte(char16_t c) {
    if (c < 0x80) return static_cast<char>(c);
    for (std::size_t i = 0; i < Cp1251HighHalf.size(); ++i) {
        if (Cp1251HighHalf[i] == c) return static_cast<char>(0x80 + i);
    }
    return '?';
}

// UTF-8 text (characters of the Basic Multilingual Plane) as Windows-1251 bytes.
inline std::string Utf8ToCp1251(std::string_view utf8) {
    std::string bytes;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        unsigned c = lead;
        std::size_t more = 0;
        if (lead >= 0xE0 && lead < 0xF0) {
            c = lead & 0x0Fu;
            more = 2;
        } else if (lead >= 0xC0 && lead < 0xE0) {
            c = lead & 0x1Fu;
            more = 1;
        } else if (lead >= 0x80) {
            bytes.push_back('?');
            continue;
        }
        if (i + more >= utf8.size()) {  // a sequence cut off at the end
            bytes.push_back('?');
            break;
        }
        for (std::size_t k = 0; k < more; ++k) c = (c << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3Fu);
        bytes.push_back(Cp1251Byte(static_cast<char16_t>(c)));
    }
    return bytes;
}

}  // namespace lintaro
