#include "remote_client.hpp"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace varek {

RemoteClient::RemoteClient(QUrl base, QString token, QObject* parent)
    : QObject(parent), base_(std::move(base)), token_(std::move(token)), network_(new QNetworkAccessManager(this)) {}

RemoteClient::~RemoteClient() { cancelAll(); }

void RemoteClient::get(const QString& path, Done done) {
    queue_.push_back({"GET", path, {}, std::move(done)});
    pump();
}

void RemoteClient::post(const QString& path, const QByteArray& body, Done done) {
    queue_.push_back({"POST", path, body, std::move(done)});
    pump();
}

void RemoteClient::cancelAll() {
    ++epoch_;
    queue_.clear();
    for (QNetworkReply* reply : network_->findChildren<QNetworkReply*>()) reply->abort();
    inFlight_ = 0;
}

void RemoteClient::pump() {
    while (inFlight_ < inFlightLimit && !queue_.empty()) {
        Request next = std::move(queue_.front());
        queue_.pop_front();
        QUrl url = base_;
        url.setPath(url.path().chopped(url.path().endsWith(QLatin1Char('/')) ? 1 : 0) + next.path);
        QNetworkRequest request(url);
        // The token travels in this header only: never in the URL, a log or the settings.
        request.setRawHeader("Authorization", "Bearer " + token_.toUtf8());
        request.setTransferTimeout(transferTimeoutMs);
        if (next.method == "POST") request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        QNetworkReply* reply = next.method == "POST" ? network_->post(request, next.body) : network_->get(request);
        ++inFlight_;
        const std::uint64_t epoch = epoch_;
        QObject::connect(reply, &QNetworkReply::finished, this, [this, reply, epoch, done = std::move(next.done)] {
            reply->deleteLater();
            if (epoch != epoch_) return;
            --inFlight_;
            finished(reply, done);
            pump();
        });
    }
}

void RemoteClient::finished(QNetworkReply* reply, const Done& done) {
    Answer answer;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid()) {
        answer.status = status.toInt();
        const QByteArray bytes = reply->readAll();
        answer.body = Json::parse(bytes.constBegin(), bytes.constEnd(), nullptr, false);
        if (answer.body.is_discarded()) answer.body = nullptr;
    } else {
        answer.timedOut = reply->error() == QNetworkReply::OperationCanceledError ||
                          reply->error() == QNetworkReply::TimeoutError;
        answer.failure = reply->errorString();
    }
    if (done) done(answer);
}

}  // namespace varek
