#pragma once

#include "app/instancemessage.h"

#include <QObject>
#include <QProcessEnvironment>
#include <QString>

#include <functional>
#include <memory>

class QLocalSocket;
class QSocketNotifier;

// One running copy per user and display. A later start hands its action to the running copy and
// exits; the first start holds a lock for its whole life and listens on a socket in a folder only
// its user can enter.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    enum class Claim {
        Primary,   // this process is to run; it holds the lock
        Delivered, // the running copy accepted the action
        Refused,   // the running copy answered but refused it
        NoAnswer,  // the running copy did not answer in time; it then drops the request
        NotReady,  // a copy holds the lock but took no requests in time
        Busy,      // the running copy cannot take the action now
    };

    // An empty path means no private folder was found: every start runs on its own.
    explicit SingleInstance(const QString& socketPath, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Plain system calls, so it works before the application object exists. A copy that is still
    // launching, and so holds the lock without listening yet, is waited for up to startMs; once
    // connected, the answer must come within answerMs.
    Claim claim(InstanceAction action, int answerMs = 2000, int startMs = 10000);
    // Opens the channel; needs the application object. Only after claim() returned Primary, and
    // once the program can answer at once. Empty when listening, else why it cannot.
    QString listen();

    // Raised in the running copy for each accepted request, once the answer is in the client's
    // socket; a request whose client has given up is dropped.
    std::function<void(InstanceAction)> onAction;
    // Whether the running copy cannot take the action now; it is then answered as busy.
    std::function<bool(InstanceAction)> isBusy;

    // The socket of this user and display: in XDG_RUNTIME_DIR when that is a private folder,
    // else in a private folder under the user's cache, made if need be. Empty when neither.
    static QString socketPath(const QProcessEnvironment& environment);
    static QString defaultPath();

private:
    void readRequests();
    void answer(QLocalSocket* socket);
    void stopListening();

    QString m_path;
    int m_lock = -1;
    int m_listener = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
