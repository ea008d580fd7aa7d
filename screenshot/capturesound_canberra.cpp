#include "screenshot/capturesound.h"

#include <canberra.h>

namespace
{

class CanberraCaptureSound : public CaptureSound
{
public:
    CanberraCaptureSound()
    {
        if (ca_context_create(&m_context) != CA_SUCCESS)
            m_context = nullptr;
    }
    ~CanberraCaptureSound() override
    {
        if (m_context)
            ca_context_destroy(m_context);
    }
    CanberraCaptureSound(const CanberraCaptureSound&) = delete;
    CanberraCaptureSound& operator=(const CanberraCaptureSound&) = delete;

    void play() override
    {
        // Any failure (no sound card, no theme) just means no sound.
        if (m_context)
            ca_context_play(m_context, 0, CA_PROP_EVENT_ID, "screen-capture",
                            CA_PROP_EVENT_DESCRIPTION, "Screenshot saved", nullptr);
    }

private:
    ca_context* m_context = nullptr;
};

} // namespace

std::unique_ptr<CaptureSound> createCaptureSound()
{
    return std::make_unique<CanberraCaptureSound>();
}
