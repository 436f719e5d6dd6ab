// SPDX-License-Identifier: GPL-3.0-or-later
// The OEM protocol between the BMC library and the heartbeat firmware, and the heartbeat
// datagram that firmware instances exchange. docs/bmc-protocol.md describes every byte;
// this header is the one place the numbers live, shared by the library, the simulated
// BMC module and the tests. Constants only: safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zvrbmc.h"
#include "zvrbmc_admin.h"

namespace tavik::bmcproto {

// All requests go to LUN 0 with this network function; responses come back on 0x31.
inline constexpr std::uint8_t kNetFn = 0x30;

inline constexpr std::uint8_t kCmdSetTargets = 0x31;        // block of 16 targets
inline constexpr std::uint8_t kCmdGetStatus = 0x32;         // one page of 4 results
inline constexpr std::uint8_t kCmdSetHostStatus = 0x33;     // the host's state (0x01/0x02/0x81/0x82)
inline constexpr std::uint8_t kCmdGetTargets = 0x34;        // read-back: one page of 4 held targets
inline constexpr std::uint8_t kCmdGetFirmwareState = 0x35;  // read-back: host state, access time-out
inline constexpr std::uint8_t kCmdSetAccessTime = 0x37;     // host-status time-out, seconds
inline constexpr std::uint8_t kCmdTestControl = 0x3e;       // test hooks of the simulated BMC

inline constexpr std::size_t kRecordSize = 8;
inline constexpr std::size_t kBlockRecords = 16;
inline constexpr std::size_t kMaxBlocks = 2;
inline constexpr std::size_t kPageRecords = 4;
inline constexpr std::size_t kPagesPerBlock = kBlockRecords / kPageRecords;

// Request and response data lengths (without the command byte and completion code).
inline constexpr std::size_t kSetTargetsRequestLen = 1 + kBlockRecords * kRecordSize;  // 129
inline constexpr std::size_t kSetTargetsResponseLen = 1;
inline constexpr std::size_t kGetStatusRequestLen = 2;
inline constexpr std::size_t kGetStatusResponseLen = 2 + kPageRecords * kRecordSize;   // 34
inline constexpr std::size_t kGetTargetsRequestLen = 2;                                // block, page
inline constexpr std::size_t kGetTargetsResponseLen = 2 + kPageRecords * kRecordSize;  // 34
inline constexpr std::size_t kFirmwareStateLen = 16;
inline constexpr std::size_t kSetHostStatusRequestLen = 2;
inline constexpr std::size_t kSetAccessTimeRequestLen = 2;
// A simulated BMC can answer at most this many data bytes after the completion code.
inline constexpr std::size_t kMaxResponseData = 35;

// Completion codes the firmware answers with.
inline constexpr std::uint8_t kCcOk = 0x00;
inline constexpr std::uint8_t kCcInvalidCommand = 0xc1;
inline constexpr std::uint8_t kCcLengthInvalid = 0xc7;
inline constexpr std::uint8_t kCcOutOfRange = 0xc9;
inline constexpr std::uint8_t kCcInvalidData = 0xcc;
inline constexpr std::uint8_t kCcUnspecified = 0xff;

// Target control values.
inline constexpr std::uint8_t kCtrlStop = 0x00;
inline constexpr std::uint8_t kCtrlStart = 0xff;

// Result state, bits 4-6 of stat[0].
inline constexpr std::uint8_t kResultShift = 4;
inline constexpr std::uint8_t kResultMask = 0x70;
inline constexpr std::uint8_t kResultReady = 0;
inline constexpr std::uint8_t kResultCollecting = 1;
inline constexpr std::uint8_t kResultStopped = 2;
inline constexpr std::uint8_t kResultEmpty = 3;

// Heartbeat status, stat[1].
inline constexpr std::uint8_t kStatusDatagramSeen = 0x01;
inline constexpr std::uint8_t kStatusHostAlive = 0x02;

// Host status values.
inline constexpr std::uint8_t kHostStarted = 0x01;
inline constexpr std::uint8_t kHostRunning = 0x02;
inline constexpr std::uint8_t kHostShutdown = 0x81;
inline constexpr std::uint8_t kHostCheckStopped = 0x82;

// Sub-functions of the test control command (first request byte).
inline constexpr std::uint8_t kTestClearAll = 0x00;
inline constexpr std::uint8_t kTestRefuse = 0x01;      // cmd, cc [, count]
inline constexpr std::uint8_t kTestDrop = 0x02;        // ip[4], mode (bit 0 from, bit 1 to)
inline constexpr std::uint8_t kTestCollecting = 0x03;  // polls
inline constexpr std::uint8_t kTestGetState = 0x04;    // -> state record
inline constexpr std::uint8_t kTestLoss = 0x05;        // pct, max stretch ms (2, little-endian)
inline constexpr std::uint8_t kDropFrom = 0x01;
inline constexpr std::uint8_t kDropTo = 0x02;
inline constexpr std::size_t kTestStateLen = 17;
inline constexpr std::uint32_t kMaxLossStretchMs = 60000;

// Heartbeat datagram: "TVHB", version, flags, 2 zero bytes, sender address, sequence (BE).
inline constexpr std::uint8_t kDatagramMagic[4] = {'T', 'V', 'H', 'B'};
inline constexpr std::uint8_t kDatagramVersion = 1;
inline constexpr std::uint8_t kDatagramHostAlive = 0x01;
inline constexpr std::size_t kDatagramLen = 16;

inline constexpr std::uint16_t kDefaultHeartbeatPort = 6230;
inline constexpr std::uint32_t kDefaultPeriodMs = 250;

}  // namespace tavik::bmcproto

// The public headers name the same values for the library's callers; the two must not
// drift apart.
namespace tavik::bmcproto {
static_assert(kCmdSetTargets == BMC_CMD_SET_IP_ADDRESS_ALL && kCmdGetStatus == BMC_CMD_GET_STATUS_ALL &&
              kCmdGetTargets == BMC_CMD_GET_TARGETS && kCmdGetFirmwareState == BMC_CMD_GET_FIRMWARE_STATE &&
              kCmdSetAccessTime == BMC_CMD_SET_ACCESS_TIME);
static_assert(kBlockRecords == BMC_BLOCK_RECORDS && kBlockRecords * kMaxBlocks == BMC_SLOTS);
static_assert(kCtrlStop == BMC_CTRL_STOP && kCtrlStart == BMC_CTRL_START);
static_assert(kResultShift == BMC_RESULT_SHIFT && kResultMask == BMC_RESULT_MASK &&
              kResultReady == BMC_RESULT_READY && kResultCollecting == BMC_RESULT_COLLECTING &&
              kResultStopped == BMC_RESULT_STOPPED && kResultEmpty == BMC_RESULT_EMPTY);
static_assert(kStatusDatagramSeen == BMC_HB_DATAGRAM_SEEN && kStatusHostAlive == BMC_HB_HOST_ALIVE);
static_assert(kHostStarted == BMC_STATUS_STARTED && kHostRunning == BMC_STATUS_RUNNING &&
              kHostShutdown == BMC_STATUS_SHUTDOWN && kHostCheckStopped == BMC_STATUS_CHECK_STOPPED);
}  // namespace tavik::bmcproto
