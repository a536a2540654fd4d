#pragma once

// The second computer of a window test: a real nusk-peerhost that pairs with the test's
// program (once; later programs of the same test find the pairing stored) and shares its
// folders with it. Quick reconnects, as the window tests want them.

#include "testutil_peerhost.h"

#include <QTemporaryDir>

#include <memory>

class IPeer;
class Program;

class OtherComputer
{
public:
    // False when the host binary is missing or does not start.
    bool start();
    // That computer as `program` knows it, its link up; paired at the first call. Null when
    // it could not be reached.
    IPeer *pair(Program &program);
    // Shares `dir` of that computer with this one with access `flags` (5 read only, 7 read
    // and write); its path here ("%shares/{uuid}"), empty on failure.
    QString share(const QString &dir, int flags);
    peerhosttest::Host &host() { return *m_host; }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<peerhosttest::Host> m_host;
    QString m_uuid;   // that computer, as this one knows it
    QString m_ours;   // this computer, as that one knows it
};
