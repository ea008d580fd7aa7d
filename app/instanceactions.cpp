#include "app/instanceactions.h"

#include "app/appdelegate.h"

void performInstanceAction(AppDelegate& delegate, InstanceAction action)
{
    switch (action) {
    case InstanceAction::Show:
        delegate.applicationShouldHandleReopen();
        return;
    case InstanceAction::Screenshot:
        delegate.captureScreenshot();
        return;
    case InstanceAction::Pen:
        delegate.toggleMarker();
        return;
    case InstanceAction::Settings:
        delegate.showSettings();
        return;
    case InstanceAction::OpenFolder:
        delegate.openScreenshotFolder();
        return;
    case InstanceAction::Quit:
        delegate.quit();
        return;
    }
}
