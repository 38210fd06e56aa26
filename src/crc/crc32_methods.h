// The methods that compute CrcUpdate, and the choice among them.
//
// Every method computes the same function; they differ only in the
// instructions they need. The choice is made once, at the first CrcUpdate:
// the fastest method this CPU and operating system can run. Setting the
// environment variable TALLOWIX_CRC_METHOD to a method's name before that
// first call picks that method instead, when it can run here; tests use it
// to reach every method through the built library.
#pragma once

#include "crc/crc32.h"

using CrcUpdateFunction = uint32_t (*)(uint32_t reg, const uint8_t* data, size_t length);

struct CrcMethod {
    const char* name;
    CrcUpdateFunction update;
    bool (*supported)();  // whether this CPU and operating system can run it
};

// Every method built into the library, the portable reference first and the
// fastest last.
extern const CrcMethod kCrcMethods[];
extern const size_t kCrcMethodCount;

// The method CrcUpdate runs; chosen at the first call of either.
const CrcMethod& ChosenCrcMethod();

// Environment variable that forces a method by name.
constexpr char kCrcMethodVariable[] = "TALLOWIX_CRC_METHOD";

// The portable method (slicing-by-8 over CrcTable), in crc32.cpp.
uint32_t CrcUpdatePortable(uint32_t reg, const uint8_t* data, size_t length);
