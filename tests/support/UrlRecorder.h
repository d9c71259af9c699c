#pragma once

// Records what the program asks the desktop to open instead of starting a browser; install
// it with QDesktopServices::setUrlHandler(scheme, &recorder, "open").

#include <QList>
#include <QObject>
#include <QUrl>

namespace testsupport {

class UrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened.append(url); }
};

} // namespace testsupport
