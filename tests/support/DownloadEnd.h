#pragma once

#include <functional>

#include "Handlers/ApiHandler.h"
#include "RecordingProcessRunner.h"

// How the work a test starts ends, for the tests that only need the outcome: an update check
// reports through its completion; an image download ends with the disk-image tool asked to mount
// the image, or with the downloader's retry notice. Each waits up to a minute and then lets the
// URL session's queue run dry.

// What the check reported; a check that never completes is a test failure and false.
bool checkSucceeds(const std::function<void(ApiHandler::Completion)>& start);

// True when the image reached `runner` (the mount), false when the retry notice came first.
// Clears the runner's journal first.
bool downloadReachesTheDiskImageTool(RecordingProcessRunner& runner,
                                     const std::function<void()>& start);

// True when the retry notice of a failed download came.
bool downloadPostsTheRetryNotice(const std::function<void()>& start);
