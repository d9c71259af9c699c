// Qt's QNetworkAccessManager doing what our blocking Get does, for bench/run (see peer.h):
// the way a Qt program fetches a page, readAll() once the reply has finished, waiting in a
// local event loop. QNetworkAccessManager speaks only HTTP/1.1 and would keep the
// connection for the next request; "Connection: close" makes each GET connect anew, as ours
// does with HTTP/1.0.

#include "peer.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <string>

namespace {

class QnamClient {
public:
    QByteArray get(const std::string& url, bench::Outcome& outcome) {
        QNetworkReply* reply = start(url);
        wait(reply);
        QByteArray body = reply->readAll();
        finish(reply, outcome);
        return body;
    }

    void getToFile(const std::string& url, const std::string& path, bench::Outcome& outcome) {
        QFile file(QString::fromStdString(path));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            outcome.error = "cannot open " + path;
            return;
        }
        QNetworkReply* reply = start(url);
        // Written as it arrives, so the body is never held whole.
        bool written = true;
        QObject::connect(reply, &QNetworkReply::readyRead, reply, [&] {
            const QByteArray piece = reply->readAll();
            written = written && file.write(piece) == piece.size();
        });
        wait(reply);
        const QByteArray rest = reply->readAll();
        written = written && file.write(rest) == rest.size();
        file.close();
        finish(reply, outcome);
        if (!written && outcome.error.empty()) {
            outcome.error = "cannot write " + path;
        }
    }

private:
    QNetworkReply* start(const std::string& url) {
        QNetworkRequest request(QUrl(QString::fromStdString(url)));
        request.setRawHeader("Connection", "close");
        request.setTransferTimeout(30000);
        return manager_.get(request);
    }

    static void wait(QNetworkReply* reply) {
        if (reply->isFinished()) {
            return;
        }
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }

    static void finish(QNetworkReply* reply, bench::Outcome& outcome) {
        outcome.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() != QNetworkReply::NoError) {
            outcome.error = reply->errorString().toStdString();
        }
        // Deleted now rather than later: a long run of requests must not pile replies up.
        delete reply;
    }

    QNetworkAccessManager manager_;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QnamClient client;
    return bench::runPeer(argc, argv, client);
}
