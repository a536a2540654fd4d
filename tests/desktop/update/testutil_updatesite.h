#pragma once

// A local update site for the tests: Python's http.server on 127.0.0.1 (optionally TLS
// with a self-signed certificate), serving a folder. Besides plain files it answers
// "/stall/<file>" with a few bytes and then silence, "/trunc/<file>" with half the file
// and a closed connection, and "/empty/<file>" with nothing at all.

#include <QProcess>
#include <QString>

class UpdateSite_Test
{
public:
    // Starts the server on the folder; certificate and key files make it HTTPS.
    bool start(const QString& root, const QString& certFile = QString(), const QString& keyFile = QString());
    ~UpdateSite_Test();

    QString baseUrl() const { return m_base; }

private:
    QProcess m_process;
    QString m_base;
};

// Makes a self-signed certificate for 127.0.0.1 in dir; false when openssl is missing.
bool makeLoopbackCertificate(const QString& dir, QString* certFile, QString* keyFile);
