// Keeps a second client away.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumagate {

inline constexpr std::size_t kProcessNameSize = 260;
inline constexpr int kMaxProcesses = 1024;

// 1 when the guard port is taken; takes and keeps it when free.
int instance_port_busy();

// 1 when the sibling service runs.
int sibling_service_running();

// 1 when a running process's image base name begins with `name`, in any
// letter case.
int process_running(const char* name);

// The length of the process's image base name, 0 when it cannot be read.
int process_base_name(std::uint32_t pid, char* name);

}  // namespace lumagate
