// The Escape key as the analysis pass sees it: "pressed since the previous
// query". Windows asks the keyboard; elsewhere a latch the host sets.
#pragma once

namespace placidor::platform {

class EscapeKey {
public:
    virtual ~EscapeKey() = default;
    // True when Escape was pressed since the previous query.
    virtual bool pressedSinceLastQuery() = 0;
};

// The platform's Escape key: GetAsyncKeyState(VK_ESCAPE) on Windows, the
// PlacidorPressEscape latch elsewhere.
EscapeKey &systemEscapeKey();

}  // namespace placidor::platform
