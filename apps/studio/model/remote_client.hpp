#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

#include <deque>
#include <functional>
#include <optional>

#include "varek/json.hpp"

class QNetworkAccessManager;
class QNetworkReply;

namespace varek {

/// The HTTP client of one remote varek-server: its authenticated API only, the token in
/// the Authorization header and nowhere else, at most two requests in flight (so a
/// bench never meets the server's per-address connection share), each given up after
/// a few seconds. GUI thread; answers arrive there.
class RemoteClient : public QObject {
public:
    static constexpr int inFlightLimit = 2;
    static constexpr int transferTimeoutMs = 3000;

    /// How one request ended: an HTTP status with its JSON body, or no status and why.
    struct Answer {
        int status = 0;  ///< 0 when no reply came (refused, unreachable, timed out)
        Json body;       ///< null when the body was not JSON
        QString failure; ///< why no reply came, in words
        bool timedOut = false;
    };
    using Done = std::function<void(const Answer&)>;

    /// `base` is the server's URL ("http://host:port"), `token` its API token.
    RemoteClient(QUrl base, QString token, QObject* parent = nullptr);
    ~RemoteClient() override;

    /// Queues GET `path`; `done` hears the answer (GUI thread).
    void get(const QString& path, Done done);
    /// Queues POST `path` with `body` as JSON text.
    void post(const QString& path, const QByteArray& body, Done done);
    /// Requests sent or queued and not answered yet.
    int pending() const { return static_cast<int>(queue_.size()) + inFlight_; }
    /// Drops the queue and aborts the requests in flight (their `done` is not called).
    void cancelAll();
    void setToken(QString token) { token_ = std::move(token); }
    const QUrl& base() const { return base_; }

private:
    struct Request {
        QByteArray method;
        QString path;
        QByteArray body;
        Done done;
    };
    void pump();
    void finished(QNetworkReply* reply, const Done& done);

    QUrl base_;
    QString token_;
    QNetworkAccessManager* network_;
    std::deque<Request> queue_;
    int inFlight_ = 0;
    std::uint64_t epoch_ = 0;  // cancelAll() makes replies of earlier epochs silent
};

}  // namespace varek
