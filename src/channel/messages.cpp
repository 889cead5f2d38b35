#include "channel/messages.h"

DWORD FoldBagCode(DWORD dwBagCode) {
    switch (dwBagCode) {
        case KTU_BAG_SUCCESS:
            return MSG_SUCCESS;
        case KTU_BAG_INVALID_ARGUMENT:
            return MSG_INVALID_ARGUMENT;
        case KTU_BAG_BUFFER_TOO_SMALL:
            return BUFFER_TOO_SMALL;
        case KTU_BAG_BAD_DATA:
            return MSG_BAD_DATA;
        case KTU_BAG_NO_VALUE:
            return NO_VALUE;
        case KTU_BAG_TYPE_MISMATCH:
            return MSG_TYPE_MISMATCH;
        default:
            return MSG_FAILURE;
    }
}

DWORD CKTUMessage::GetSerializedSize() {
    return m_pBag == nullptr ? 0 : m_pBag->GetSerializedSize();
}

DWORD CKTUMessage::Serialize(BYTE* pBuffer, DWORD dwSize) {
    return m_pBag == nullptr ? MSG_FAILURE : FoldBagCode(m_pBag->Serialize(pBuffer, dwSize));
}

DWORD CKTUMessage::Deserialize(const BYTE* pBuffer, DWORD dwSize) {
    return m_pBag == nullptr ? MSG_FAILURE : FoldBagCode(m_pBag->Deserialize(pBuffer, dwSize));
}

void CKTUMessage::StampType(DWORD dwType) {
    if (m_pBag != nullptr) {
        m_pBag->SetDword(KTU_PROPERTY_MESSAGE_TYPE, dwType);
    }
}

DWORD CKTUMessage::GetDwordProperty(DWORD dwId, DWORD* pdwValue) {
    return m_pBag == nullptr ? MSG_FAILURE : FoldBagCode(m_pBag->GetDword(dwId, pdwValue));
}

DWORD CKTUMessage::SetDwordProperty(DWORD dwId, DWORD dwValue) {
    return m_pBag == nullptr ? MSG_FAILURE : FoldBagCode(m_pBag->SetDword(dwId, dwValue));
}

DWORD CKTUMessage::GetStringProperty(DWORD dwId, char16_t* szBuffer, DWORD* pdwSize) {
    return m_pBag == nullptr ? MSG_FAILURE : FoldBagCode(m_pBag->GetString(dwId, szBuffer, pdwSize));
}

DWORD CKTUMessage::SetStringProperty(DWORD dwId, const char16_t* szValue) {
    return m_pBag == nullptr ? MSG_FAILURE : FoldBagCode(m_pBag->SetString(dwId, szValue));
}

CKTUSettingsMessage::CKTUSettingsMessage(CKTUPropertyBag* pBag) : CKTUMessage(pBag) {
    StampType(TYPE_GW_SETTINGS);
}
DWORD CKTUSettingsMessage::GetSettingsPath(char16_t* szBuffer, DWORD* pdwSize) {
    return GetStringProperty(1, szBuffer, pdwSize);
}
DWORD CKTUSettingsMessage::SetSettingsPath(const char16_t* szPath) {
    return SetStringProperty(1, szPath);
}

CKTUReplyMessage::CKTUReplyMessage(CKTUPropertyBag* pBag) : CKTUMessage(pBag) {
    StampType(TYPE_GW_ACTIVATION);
}
DWORD CKTUReplyMessage::GetReplyType(DWORD* pdwType) {
    return GetDwordProperty(1, pdwType);
}
DWORD CKTUReplyMessage::SetReplyType(DWORD dwType) {
    return SetDwordProperty(1, dwType);
}
DWORD CKTUReplyMessage::GetReplyCode(DWORD* pdwCode) {
    return GetDwordProperty(2, pdwCode);
}
DWORD CKTUReplyMessage::SetReplyCode(DWORD dwCode) {
    return SetDwordProperty(2, dwCode);
}
DWORD CKTUReplyMessage::GetOldKCFileName(char16_t* szBuffer, DWORD* pdwSize) {
    return GetStringProperty(3, szBuffer, pdwSize);
}
DWORD CKTUReplyMessage::SetOldKCFileName(const char16_t* szName) {
    return SetStringProperty(3, szName);
}

CKTUActivationMessage::CKTUActivationMessage(CKTUPropertyBag* pBag) : CKTUMessage(pBag) {
    StampType(TYPE_GW_ACTIVATION_REQUEST);
}
DWORD CKTUActivationMessage::GetActivation(DWORD* pdwActivation) {
    return GetDwordProperty(1, pdwActivation);
}
DWORD CKTUActivationMessage::SetActivation(DWORD dwActivation) {
    return SetDwordProperty(1, dwActivation);
}

CKTUViolationMessage::CKTUViolationMessage(CKTUPropertyBag* pBag) : CKTUMessage(pBag) {
    StampType(TYPE_GW_VIOLATION);
}
DWORD CKTUViolationMessage::GetActorPath(char16_t* szBuffer, DWORD* pdwSize) {
    return GetStringProperty(1, szBuffer, pdwSize);
}
DWORD CKTUViolationMessage::SetActorPath(const char16_t* szPath) {
    return SetStringProperty(1, szPath);
}
DWORD CKTUViolationMessage::GetActorPID(DWORD* pdwPid) {
    return GetDwordProperty(2, pdwPid);
}
DWORD CKTUViolationMessage::SetActorPID(DWORD dwPid) {
    return SetDwordProperty(2, dwPid);
}
DWORD CKTUViolationMessage::GetAction(DWORD* pdwAction) {
    return GetDwordProperty(3, pdwAction);
}
DWORD CKTUViolationMessage::SetAction(DWORD dwAction) {
    return SetDwordProperty(3, dwAction);
}
DWORD CKTUViolationMessage::GetTargetPath(char16_t* szBuffer, DWORD* pdwSize) {
    return GetStringProperty(4, szBuffer, pdwSize);
}
DWORD CKTUViolationMessage::SetTargetPath(const char16_t* szPath) {
    return SetStringProperty(4, szPath);
}
DWORD CKTUViolationMessage::GetTargetPID(DWORD* pdwPid) {
    return GetDwordProperty(5, pdwPid);
}
DWORD CKTUViolationMessage::SetTargetPID(DWORD dwPid) {
    return SetDwordProperty(5, dwPid);
}
DWORD CKTUViolationMessage::GetSessionID(DWORD* pdwSession) {
    return GetDwordProperty(6, pdwSession);
}
DWORD CKTUViolationMessage::SetSessionID(DWORD dwSession) {
    return SetDwordProperty(6, dwSession);
}
DWORD CKTUViolationMessage::GetBlockedStatus(DWORD* pdwStatus) {
    return GetDwordProperty(7, pdwStatus);
}
DWORD CKTUViolationMessage::SetBlockedStatus(DWORD dwStatus) {
    return SetDwordProperty(7, dwStatus);
}

CKTUMSIMessage::CKTUMSIMessage(CKTUPropertyBag* pBag) : CKTUMessage(pBag) {
    StampType(TYPE_QUERY_MSI);
}
DWORD CKTUMSIMessage::GetMessageId(DWORD* pdwId) {
    return GetDwordProperty(1, pdwId);
}
DWORD CKTUMSIMessage::SetMessageId(DWORD dwId) {
    return SetDwordProperty(1, dwId);
}
DWORD CKTUMSIMessage::GetMSIPath(char16_t* szBuffer, DWORD* pdwSize) {
    return GetStringProperty(2, szBuffer, pdwSize);
}
DWORD CKTUMSIMessage::SetMSIPath(const char16_t* szPath) {
    return SetStringProperty(2, szPath);
}
DWORD CKTUMSIMessage::GetAuthorizationReply(DWORD* pdwReply) {
    return GetDwordProperty(3, pdwReply);
}
DWORD CKTUMSIMessage::SetAuthorizationReply(DWORD dwReply) {
    return SetDwordProperty(3, dwReply);
}
