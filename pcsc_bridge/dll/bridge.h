// Internals of the forwarding winscard.dll.
#pragma once

#define WINSCARDDATA
#include <winsock2.h>
#include <windows.h>
#include <winscard.h>

#include <cstdint>
#include <string>
#include <vector>

#include "wire.h"

namespace pcscbridge {

struct Reply {
    ResponseHeader header{};
    std::vector<uint8_t> data;
};

// One request and its answer over a pooled connection to the helper. False
// when the helper cannot be reached; the caller answers SCARD_E_NO_SERVICE
// (nothing to talk to) or SCARD_F_COMM_ERROR (lost in the middle).
bool Call(Op op, uint32_t context, uint32_t card, uint32_t a1, uint32_t a2, const std::vector<uint8_t>& data,
          Reply& reply, LONG& failure);

std::string Utf8(const wchar_t* text, size_t length);
std::wstring Wide(const char* text, size_t length);

// A buffer the caller frees with SCardFreeMemory.
void* Allocate(size_t bytes);

// Hands `bytes` to the caller: into its buffer of *length units, or (with
// SCARD_AUTOALLOCATE) into a new one stored through `buffer`.
LONG Deliver(const void* bytes, DWORD units, DWORD unitSize, void* buffer, DWORD* length);

}  // namespace pcscbridge
