#pragma once

#include <cstddef>
#include <cstdint>

// Sees every byte the port moves, both ways, as it moves. It runs on the
// thread that moved the bytes (the window thread or a worker), so it must
// only copy and return: never block, never touch the port.
enum class TrafficDirection : uint8_t {
    ToRadio = 0,
    FromRadio = 1,
};

class TrafficTap {
public:
    virtual ~TrafficTap() = default;
    virtual void OnTraffic(TrafficDirection direction, const uint8_t* bytes, size_t count) = 0;
};
