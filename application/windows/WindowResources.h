#pragma once

// The logo and the icon are compiled into the windows' static library, where nothing refers to
// them: every window that shows them registers them first (repeated calls do nothing).
void InitializeWindowResources();
