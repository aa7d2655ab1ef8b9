#pragma once

#include <QString>

#include <functional>

namespace dravelin {

// What another program may ask the running app to do: the record, cancel,
// private-paste and rewrite hotkeys' actions, for desktops where global key
// grabs do not work and a compositor shortcut runs a command instead. Each
// action returns at once; the work it starts runs asynchronously.
struct AppControlActions
{
    std::function<void()> toggle = {}; // start, or stop and transcribe
    std::function<void()> start = {};
    std::function<void()> stop = {};
    std::function<void()> cancel = {}; // discard the running capture
    std::function<void()> privatePaste = {};
    std::function<void()> rewriteSelection = {};
    // "idle", "recording" or "processing".
    std::function<QString()> state = {};
};

} // namespace dravelin
