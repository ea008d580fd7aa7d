#pragma once

#include <QByteArray>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A broken rule stops the run like a crash, so libFuzzer keeps the input that broke it.
#define FUZZ_CHECK(condition) ((condition) ? void() : fuzzFailed(__FILE__, __LINE__, #condition))

[[noreturn]] inline void fuzzFailed(const char* file, int line, const char* condition)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}

inline QByteArray fuzzBytes(const std::uint8_t* data, std::size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
}
