#pragma once

// The two models every peer shows in the window: its drive list (VfsDriveModel, named after
// the peer's uuid so views find it) and its folder tree (VfsModel).

class IPeer;

// Makes both models and gives them to the peer (IPeer::setFileModels). On the peer's thread,
// right after it is built.
void attachPeerModels(IPeer *peer);

// Binds the peer's file model to the peer (VfsModel::setPeer) on the model's own thread,
// once the peer is listed; a second call changes nothing.
void bindPeerModels(IPeer *peer);
