#pragma once

// What every test file includes first: GoogleTest with its matchers, the standard pieces most
// tests use, and the suite's support for homes, journals, captured output and waiting.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Eventually.h"
#include "Journal.h"
#include "OutputCapture.h"
#include "RequireOrSkip.h"
#include "TempHome.h"
#include "ThisMachine.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::AllOf, ::testing::ElementsAre, ::testing::HasSubstr, ::testing::IsEmpty,
    ::testing::StartsWith;
