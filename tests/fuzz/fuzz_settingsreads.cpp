// The settings file as a damaged disk, an older version or a hand edit could leave it: the
// input is the whole file, read back through the store the way the program reads it.

#include "settings/settingsstore.h"
#include "tests/fuzz/fuzzcheck.h"
#include "tests/testsupport.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLoggingCategory>

#include <cmath>
#include <cstdlib>

// Qt's readers size containers from counts in the file. A false count asks for gigabytes that are
// never touched and, when the request fails, Qt gives up on the value. Requests over the memory
// limit the test command gives the fuzzer fail here instead of counting as a finding; what is
// really used is still held to that limit.
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1:max_allocation_size_mb=2048";
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // A throwaway config directory, so no real settings file is ever touched.
    QByteArray home = QDir::tempPath().toLocal8Bit() + "/vellori-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(home.data()));
    qputenv("XDG_CONFIG_HOME", home);
    std::atexit([] { QDir(qEnvironmentVariable("XDG_CONFIG_HOME")).removeRecursively(); });
    QDir(QString::fromLocal8Bit(home)).mkpath(QStringLiteral("Vellori"));
    FUZZ_CHECK(TestSupport::settingsFile().startsWith(QString::fromLocal8Bit(home)));
    // Stored variants may hold images or fonts; those need the application the program has.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    new QGuiApplication(*argc, *argv);
    // Qt warns about every odd value it meets; at thousands of inputs a second that is noise.
    QLoggingCategory::setFilterRules(QStringLiteral("*=false"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    QFile file(TestSupport::settingsFile());
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(fuzzBytes(data, size)) == qint64(size));
    file.close();

    // Present keys read the same whatever the fallback; absent or unusable ones give the fallback.
    const auto checkFallbacks = [](const auto& first, const auto& a, const auto& second,
                                   const auto& b) {
        FUZZ_CHECK(first == second || (first == a && second == b));
    };
    using namespace SettingsKeys;
    const SettingsStore store;
    const QSettings raw(QSettings::NativeFormat, QSettings::UserScope, "Vellori", "vellori");
    // Any stored value reads as a number (0 when it is none); only absence gives the fallback.
    for (const QString& key : {markerFunctionKey, screenshotFunctionKey})
        FUZZ_CHECK(store.value(key, 8) == (raw.value(key).isValid() ? store.value(key, 9) : 8));
    for (const QString& key : {redKey, blueKey, greenKey, eraserKey, clearKey})
        checkFallbacks(store.string(key, "q"), QString("q"), store.string(key, "w"), QString("w"));
    for (const QString& key : {redColor, blueColor, greenColor}) {
        const QColor first = store.color(key, SettingsDefaults::systemRed);
        FUZZ_CHECK(first.isValid());
        checkFallbacks(first, SettingsDefaults::systemRed,
                       store.color(key, SettingsDefaults::systemBlue),
                       SettingsDefaults::systemBlue);
    }
    const double width = store.positiveDouble(lineWidth, 4.0);
    FUZZ_CHECK(std::isfinite(width) && width > 0.0);
    checkFallbacks(width, 4.0, store.positiveDouble(lineWidth, 5.0), 5.0);
    return 0;
}
