#include "app/commandline.h"

#include "app/singleinstance.h"

#include <QCommandLineParser>

#include <array>
#include <cstdio>
#include <utility>

namespace
{

const QString kHelpHint = QStringLiteral("运行“vellori --help”查看用法。\n");

const std::array<std::pair<InstanceAction, const char*>, 5> kActionOptions{{
    {InstanceAction::Screenshot, "screenshot"},
    {InstanceAction::Pen, "pen"},
    {InstanceAction::Settings, "settings"},
    {InstanceAction::OpenFolder, "open-folder"},
    {InstanceAction::Quit, "quit"},
}};

CommandLine usageError(const QString& what)
{
    return {InstanceAction::Show, ExitCodes::usage,
            QStringLiteral("vellori：") + what + '\n' + kHelpHint};
}

void print(std::FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

} // namespace

QString commandLineHelp()
{
    return QStringLiteral(
        "用法：vellori [操作]\n"
        "\n"
        "不带操作时启动 Vellori；它已在运行时，显示它的控制窗口。\n"
        "带一个操作时，交给本用户在本显示器上正在运行的 Vellori 执行；\n"
        "没有在运行的，先启动再执行。\n"
        "\n"
        "操作：\n"
        "  --screenshot    框选截图（同截图快捷键，默认 F9）\n"
        "  --pen           开关全屏画笔（同画笔快捷键，默认 F8）\n"
        "  --settings      打开快捷键与画笔设置\n"
        "  --open-folder   打开截图文件夹\n"
        "  --quit          退出正在运行的 Vellori（没有在运行时什么也不做）\n"
        "\n"
        "其他：\n"
        "  -h, --help      显示本帮助\n"
        "  -v, --version   显示版本\n"
        "\n"
        "画笔中：Q、W、E 换红、蓝、绿笔，Z 橡皮擦，C 清除，Backspace 撤销，\n"
        "Shift+Backspace 重做，Esc 或右键退出。\n"
        "拖动时按住 Shift 画直线，Ctrl 画矩形，Ctrl+Shift 画箭头，空格键画椭圆。\n"
        "\n"
        "退出码：0 已完成，1 请求没有执行（正在运行的 Vellori 没有及时应答、拒绝了它，\n"
        "或上一次截图还没有结束），"
        "2 命令行有误。\n"
        "\n"
        "在桌面的设置里把按键绑定到这些命令，例如：\n"
        "  GNOME：设置 → 键盘 → 查看及自定义快捷键 → 自定义快捷键 → 添加，\n"
        "         命令填 vellori --screenshot，快捷键按 Print。\n"
        "  KDE：系统设置 → 快捷键 → 添加命令，\n"
        "       命令填 vellori --pen，快捷键按 Meta+P。\n"
        "  sway / i3：在配置文件里加一行\n"
        "       bindsym $mod+Shift+s exec vellori --screenshot\n");
}

CommandLine parseCommandLine(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    parser.addOption(help);
    parser.addOption(version);
    for (const auto& [action, name] : kActionOptions)
        parser.addOption(QCommandLineOption(QString::fromLatin1(name)));

    if (!parser.parse(arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty())
            return usageError(
                QStringLiteral("未知选项“%1”。")
                    .arg((unknown.front().size() == 1 ? "-" : "--") + unknown.front()));
        return usageError(QStringLiteral("选项不带值。"));
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("多余的参数“%1”。").arg(parser.positionalArguments().front()));
    if (parser.isSet(help))
        return {InstanceAction::Show, ExitCodes::ok, commandLineHelp()};
    if (parser.isSet(version))
        return {InstanceAction::Show, ExitCodes::ok,
                QStringLiteral("vellori " VELLORI_VERSION "\n")};

    CommandLine command;
    int given = 0;
    for (const auto& [action, name] : kActionOptions) {
        if (parser.isSet(QString::fromLatin1(name))) {
            command.action = action;
            ++given;
        }
    }
    if (given > 1)
        return usageError(QStringLiteral("一次只能给一个操作。"));
    return command;
}

CommandLine parseCommandLine(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return parseCommandLine(arguments);
}

std::optional<int> endsBeforeLaunch(const CommandLine& command, SingleInstance& instance)
{
    if (command.exitCode) {
        print(*command.exitCode == ExitCodes::ok ? stdout : stderr, command.message);
        return command.exitCode;
    }
    switch (instance.claim(command.action)) {
    case SingleInstance::Claim::Primary:
        // Nothing runs, so nothing is to quit; the lock goes with the process.
        if (command.action == InstanceAction::Quit)
            return ExitCodes::ok;
        return std::nullopt;
    case SingleInstance::Claim::Delivered:
        return ExitCodes::ok;
    case SingleInstance::Claim::Refused:
        print(stderr,
              QStringLiteral("vellori：正在运行的 Vellori 拒绝了这个请求；它可能是另一个版本。\n"));
        return ExitCodes::noAnswer;
    case SingleInstance::Claim::Busy:
        print(stderr, QStringLiteral("vellori：正在运行的 Vellori 还在截图，这个请求没有执行。\n"));
        return ExitCodes::noAnswer;
    case SingleInstance::Claim::NoAnswer:
        print(stderr, QStringLiteral("vellori：正在运行的 Vellori 没有在 2 秒内应答；"
                                     "这个请求已作废，不会再执行。\n"));
        return ExitCodes::noAnswer;
    case SingleInstance::Claim::NotReady:
        break;
    }
    print(stderr, QStringLiteral("vellori：另一个 Vellori 在 10 秒内一直没有开始接收请求"
                                 "（它可能还在启动、正在退出，或无法打开通道）；"
                                 "这个请求没有送达。\n"));
    return ExitCodes::noAnswer;
}
