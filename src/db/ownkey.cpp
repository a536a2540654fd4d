#include "db/ownkey.h"

#include "db/idatabase.h"

#include <QDateTime>
#include <QMutex>
#include <QMutexLocker>

crypto::SigningKeyPair loadOrCreateOwnKeyPair(IDatabase *database)
{
    if (!database)
        return {};

    // Two first callers on different threads must not make two different identities.
    static QMutex mutex;
    QMutexLocker locker(&mutex);

    const QString type = QString::fromLatin1(ownSigningKeyType());
    for (const CryptoKeyDto &key : database->loadKeys(nullUuidString())) {
        if (key.type != type)
            continue;
        crypto::SigningKeyPair pair{key.publicKey, key.secretKey};
        if (pair.isValid())
            return pair;
    }

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
