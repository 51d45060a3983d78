// The benchmark corpus: text-like content that zlib shrinks to about a
// quarter, and binary-like records; deterministic for a given size.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace corpus {

// Words of one to four syllables, picked with a Zipf-like bias so that the
// text has the repetition, and the surprise, of prose or log files.
inline std::string textLike(std::size_t size, std::mt19937_64& random)
{
    static const char* syllables[] = { "ka", "ro", "vi", "ne", "stu", "al", "pre", "den", "mo", "lin", "ter",
        "sa", "qu", "ex", "or", "ti", "ba", "gle", "fu", "on", "ver", "ash", "ing", "tra", "po", "li", "ce",
        "um", "dra", "zo" };
    constexpr int kSyllables = sizeof syllables / sizeof *syllables;
    std::vector<std::string> words(6000);
    for (auto& w : words) {
        int n = 1 + int(random() % 4);
        for (int i = 0; i < n; ++i)
            w += syllables[random() % kSyllables];
    }
    // Zipf-like: rank = N^(u^3) for uniform u favours the first words.
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::string out;
    out.reserve(size + 64);
    int inLine = 0;
    while (out.size() < size) {
        double u = uniform(random);
        std::size_t rank = std::size_t(std::pow(double(words.size()), u * u * u)) - 1;
        out += words[rank % words.size()];
        int r = int(random() % 100);
        if (r < 4) {
            out += ' ';
            out += std::to_string(random() % 100000);
        }
        if (r < 9)
            out += ", ";
        else if (r < 13)
            out += ". ";
        else
            out += ' ';
        if (++inLine >= 12 + int(random() % 6)) {
            out += '\n';
            inLine = 0;
        }
    }
    out.resize(size);
    return out;
}

// Fixed-size records as a program would dump them: a counter, a few small
// enumerations, a slowly drifting measurement and some noise.
inline std::string binaryLike(std::size_t size, std::mt19937_64& random)
{
    std::string out;
    out.reserve(size + 64);
    std::uint32_t id = 1000;
    double value = 20.0;
    std::normal_distribution<double> step(0.0, 0.05);
    while (out.size() < size) {
        unsigned char record[32] = {};
        id += 1 + std::uint32_t(random() % 3);
        std::memcpy(record, &id, 4);
        record[4] = std::uint8_t(random() % 6);
        record[5] = std::uint8_t(random() % 2 ? 0 : random() % 256);
        value += step(random);
        float f = float(value);
        std::memcpy(record + 8, &f, 4);
        std::uint64_t noise = random();
        std::memcpy(record + 12, &noise, 6);
        std::uint32_t flags = random() % 8 == 0 ? std::uint32_t(random()) : 0x00010001u;
        std::memcpy(record + 20, &flags, 4);
        out.append(reinterpret_cast<char*>(record), sizeof record);
    }
    out.resize(size);
    return out;
}

// The corpus files: one seed per kind, so every run sees the same bytes.
inline std::string generate(bool text, std::size_t size)
{
    std::mt19937_64 random(text ? 20240401 : 20240402);
    return text ? textLike(size, random) : binaryLike(size, random);
}

} // namespace corpus
