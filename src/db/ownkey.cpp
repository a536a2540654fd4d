#include "db/ownkey.h"

#include "db/idatabase.h"

#include <QDateTime>
#include <QMutex>
#include <QMutexLocker>

crypto::SigningKeyPair loadOwnKeyPair(IDatabase *database, OwnKeyState *state)
{
    *state = OwnKeyState::Missing;
    if (!database)
        return {};
    const QString type = QString::fromLatin1(ownSigningKeyType());
    for (const CryptoKeyDto &key : database->loadKeys(nullUuidString())) {
        if (key.type != type)
            continue;
        crypto::SigningKeyPair pair{key.publicKey, key.secretKey};
        crypto::initialize();
        // The public half must be the one the secret key holds: one flipped bit in either
        // would make a key nobody paired with.
        if (pair.isValid() && crypto::verify("own", crypto::sign("own", pair.secretKey), pair.publicKey)) {
            *state = OwnKeyState::Valid;
            return pair;
        }
        *state = OwnKeyState::Damaged;
    }
    return {};
}

crypto::SigningKeyPair loadOrCreateOwnKeyPair(IDatabase *database)
{
    if (!database)
        return {};

    // Two first callers on different threads must not make two different identities.
    static QMutex mutex;
    QMutexLocker locker(&mutex);

    const QString type = QString::fromLatin1(ownSigningKeyType());
    OwnKeyState state;
    const crypto::SigningKeyPair stored = loadOwnKeyPair(database, &state);
    if (state != OwnKeyState::Missing)
        return stored;

    if (!crypto::initialize())
        return {};
    const crypto::SigningKeyPair pair = crypto::generateSigningKeyPair();
    if (!pair.isValid())
        return {};

    CryptoKeyDto key;
    key.uuid = newUuidString();
    key.peerUuid = nullUuidString();
    key.type = type;
    key.publicKey = pair.publicKey;
    key.secretKey = pair.secretKey;
    key.timestamp = QDateTime::currentSecsSinceEpoch();
    if (!database->putKey(key))
        return {};
    return pair;
}
