#include "db/dto.h"

void registerDtoMetaTypes()
{
    qRegisterMetaType<PeerDto>("PeerDto");
    qRegisterMetaType<PeerAttributeDto>("PeerAttributeDto");
    qRegisterMetaType<PeerAclDto>("PeerAclDto");
    qRegisterMetaType<TransportDto>("TransportDto");
    qRegisterMetaType<CryptoKeyDto>("CryptoKeyDto");
    qRegisterMetaType<InvitationDto>("InvitationDto");
    qRegisterMetaType<VsectorDto>("VsectorDto");
    qRegisterMetaType<VnodeDto>("VnodeDto");
    qRegisterMetaType<ImageCacheDto>("ImageCacheDto");
    qRegisterMetaType<std::vector<PeerDto>>("std::vector<PeerDto>");
    qRegisterMetaType<std::vector<PeerAttributeDto>>("std::vector<PeerAttributeDto>");
    qRegisterMetaType<std::vector<PeerAclDto>>("std::vector<PeerAclDto>");
    qRegisterMetaType<std::vector<TransportDto>>("std::vector<TransportDto>");
    qRegisterMetaType<std::vector<CryptoKeyDto>>("std::vector<CryptoKeyDto>");
    qRegisterMetaType<std::vector<InvitationDto>>("std::vector<InvitationDto>");
    qRegisterMetaType<std::vector<VsectorDto>>("std::vector<VsectorDto>");
    qRegisterMetaType<std::vector<VnodeDto>>("std::vector<VnodeDto>");
    qRegisterMetaType<std::vector<ImageCacheDto>>("std::vector<ImageCacheDto>");
}
