#pragma once

// Whether this process may read the screen. X11 lets every client read it, so the real one
// always grants; the interface lets tests refuse.
class CapturePermission
{
public:
    virtual ~CapturePermission() = default;
    // True when capturing is allowed now; asks nothing.
    virtual bool preflight() = 0;
    // Asks for the permission; the answer only chooses what the alert says.
    virtual bool request() = 0;
};

class GrantedCapturePermission : public CapturePermission
{
public:
    bool preflight() override { return true; }
    bool request() override { return true; }
};
