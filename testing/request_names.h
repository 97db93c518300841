// The recorder model's request codes by name, for the expectations of tests:
//   EXPECT_EQ(emulator::RequestCodes(model),
//             (std::vector<std::uint8_t>{GetFirmwareVersion, GetBootLoaderVersion, GetSerialNumber}));
// The names hide the host's functions of the same name (GetFirmwareVersion)
// in k24::test: a test that calls those names them k24::GetFirmwareVersion.
#pragma once

#include "testing/recorder_model.h"

namespace k24::test {

using emulator::requests::ReadFlash;
using emulator::requests::WriteFlash;
using emulator::requests::ErasePage;
using emulator::requests::Restart;
using emulator::requests::GetBootLoaderVersion;
using emulator::requests::FinishFirmware;
using emulator::requests::PostUpdateQuery;
using emulator::requests::GetSerialNumber;
using emulator::requests::SetSerialNumber;
using emulator::requests::CommitBootArea;
using emulator::requests::GetFirmwareVersion;
using emulator::requests::NandEraseBlock;
using emulator::requests::NandStatus;
using emulator::requests::NandReadPages;
using emulator::requests::NandWritePages;

}  // namespace k24::test
