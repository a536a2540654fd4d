#pragma once

// Limits of the peers layer in milliseconds. Tests and the peer host shorten them.

struct PeerTimings
{
    int retryInitialMs = 2000;    // first reconnection attempt after a link went down
    int retryMaxMs = 60000;       // the back-off doubles up to this
    int upgradeMs = 300000;       // a link over a worse transport tries the better ones this often
    int inviterAnswerMs = 30000;  // an accepted invitation's inviter answers within this, or is given up
};

void setPeerTimings(const PeerTimings &timings);
PeerTimings peerTimings();
