// The monitored-terminal table, and the status of the terminals: the
// monitored ones wherever in the group they are, and this server's own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx {

class Handle;

constexpr const char *kMonitoredPath = "/var/opt/ZARNkx/snmp/kxsmonitoreddtus.data";
// The table holds at most 999 terminals: the array that carries the file's
// lines has 1000 slots, the last for its terminator.
constexpr int kMonitoredSlots = 1000;
constexpr int kMaxMonitored = kMonitoredSlots - 1;
// Longest ID that a line of the file carries back whole: lines are read
// 255 characters at a time, and the line feed counts.
constexpr std::size_t kMaxTerminalIdLength = 254;

void kxs_initDTUMonitored(Handle *handle);
void kxs_freeDTUMonitored(Handle *handle);

}  // namespace kx
