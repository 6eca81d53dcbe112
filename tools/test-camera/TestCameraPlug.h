#pragma once

#include <set>

// Which test cameras are plugged in. With NORVEX_TEST_CAMERA_PLUGGED naming a file, the cameras
// whose numbers the file lists (whitespace-separated; a missing file lists none), read afresh at
// every call, so a test or a shell plugs and unplugs cameras while a program runs by replacing it
// (a new file renamed over the old one: a file rewritten in place may be read half-written).
// Without the variable every camera is plugged in.
namespace NorvexTestCamera
{

std::set<int> PluggedCameras();
bool IsPlugged(int camera);
// Whether the plugging can change at all (the variable is set).
bool PluggingFollowsFile();

} // namespace NorvexTestCamera
