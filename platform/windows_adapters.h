// What the Windows sources share of the adapter list.
#pragma once

#include <cstdint>

#include <guiddef.h>

constexpr int MAX_WIDE_PATH = 32768; // the longest path the wide calls take, with its zero

// The GUID of the adapter that holds the IPv4 address (network order); false when none does,
// or when it is the loopback adapter.
bool adapter_guid_holding(std::uint32_t addr, GUID* out);
