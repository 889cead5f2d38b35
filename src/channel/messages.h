// The driver messages: typed views over a property bag, property 0 holding the type. Every accessor
// returns a message code and fails with MSG_FAILURE when the message has no bag.
#pragma once

#include "channel/property_bag.h"
#include "platform/types.h"

constexpr DWORD MSG_SUCCESS = 0;
constexpr DWORD MSG_FAILURE = 1;
constexpr DWORD MSG_INVALID_ARGUMENT = 2;
constexpr DWORD BUFFER_TOO_SMALL = 3;
constexpr DWORD MSG_BAD_DATA = 4;
constexpr DWORD NO_VALUE = 6;
constexpr DWORD MSG_TYPE_MISMATCH = 7;

constexpr DWORD TYPE_GW_SETTINGS = 1;
constexpr DWORD TYPE_GW_ACTIVATION = 2;
constexpr DWORD TYPE_GW_ACTIVATION_REQUEST = 3;
constexpr DWORD TYPE_GW_VIOLATION = 4;
constexpr DWORD TYPE_QUERY_MSI = 5;

constexpr DWORD KTU_PROPERTY_MESSAGE_TYPE = 0;

// The message code of a bag code.
DWORD FoldBagCode(DWORD dwBagCode);

class CKTUMessage {
public:
    // Does not own the bag: DestroyKTMessage destroys both.
    explicit CKTUMessage(CKTUPropertyBag* pBag) : m_pBag(pBag) {}
    virtual ~CKTUMessage() = default;
    CKTUMessage(const CKTUMessage&) = delete;
    CKTUMessage& operator=(const CKTUMessage&) = delete;

    virtual DWORD GetType() const = 0;
    virtual DWORD GetSerializedSize();
    virtual DWORD Serialize(BYTE* pBuffer, DWORD dwSize);
    virtual DWORD Deserialize(const BYTE* pBuffer, DWORD dwSize);
    virtual CKTUPropertyBag* GetPropertyBag() { return m_pBag; }

protected:
    // Derived constructors record their type in property 0.
    void StampType(DWORD dwType);
    DWORD GetDwordProperty(DWORD dwId, DWORD* pdwValue);
    DWORD SetDwordProperty(DWORD dwId, DWORD dwValue);
    DWORD GetStringProperty(DWORD dwId, char16_t* szBuffer, DWORD* pdwSize);
    DWORD SetStringProperty(DWORD dwId, const char16_t* szValue);

    CKTUPropertyBag* m_pBag;
};

class CKTUSettingsMessage : public CKTUMessage {
public:
    explicit CKTUSettingsMessage(CKTUPropertyBag* pBag);
    DWORD GetType() const override { return TYPE_GW_SETTINGS; }
    virtual DWORD GetSettingsPath(char16_t* szBuffer, DWORD* pdwSize);
    virtual DWORD SetSettingsPath(const char16_t* szPath);
};

// The driver's answer to settings and activation messages.
class CKTUReplyMessage : public CKTUMessage {
public:
    static constexpr DWORD REPLY_SUCCESS = 0x80000000;

    explicit CKTUReplyMessage(CKTUPropertyBag* pBag);
    DWORD GetType() const override { return TYPE_GW_ACTIVATION; }
    virtual DWORD GetReplyType(DWORD* pdwType);
    virtual DWORD SetReplyType(DWORD dwType);
    virtual DWORD GetReplyCode(DWORD* pdwCode);
    virtual DWORD SetReplyCode(DWORD dwCode);
    virtual DWORD GetOldKCFileName(char16_t* szBuffer, DWORD* pdwSize);
    virtual DWORD SetOldKCFileName(const char16_t* szName);
};

class CKTUActivationMessage : public CKTUMessage {
public:
    explicit CKTUActivationMessage(CKTUPropertyBag* pBag);
    DWORD GetType() const override { return TYPE_GW_ACTIVATION_REQUEST; }
    virtual DWORD GetActivation(DWORD* pdwActivation);
    virtual DWORD SetActivation(DWORD dwActivation);
};

class CKTUViolationMessage : public CKTUMessage {
public:
    explicit CKTUViolationMessage(CKTUPropertyBag* pBag);
    DWORD GetType() const override { return TYPE_GW_VIOLATION; }
    virtual DWORD GetActorPath(char16_t* szBuffer, DWORD* pdwSize);
    virtual DWORD SetActorPath(const char16_t* szPath);
    virtual DWORD GetActorPID(DWORD* pdwPid);
    virtual DWORD SetActorPID(DWORD dwPid);
    virtual DWORD GetAction(DWORD* pdwAction);
    virtual DWORD SetAction(DWORD dwAction);
    virtual DWORD GetTargetPath(char16_t* szBuffer, DWORD* pdwSize);
    virtual DWORD SetTargetPath(const char16_t* szPath);
    virtual DWORD GetTargetPID(DWORD* pdwPid);
    virtual DWORD SetTargetPID(DWORD dwPid);
    virtual DWORD GetSessionID(DWORD* pdwSession);
    virtual DWORD SetSessionID(DWORD dwSession);
    virtual DWORD GetBlockedStatus(DWORD* pdwStatus);
    virtual DWORD SetBlockedStatus(DWORD dwStatus);
};

class CKTUMSIMessage : public CKTUMessage {
public:
    explicit CKTUMSIMessage(CKTUPropertyBag* pBag);
    DWORD GetType() const override { return TYPE_QUERY_MSI; }
    virtual DWORD GetMessageId(DWORD* pdwId);
    virtual DWORD SetMessageId(DWORD dwId);
    virtual DWORD GetMSIPath(char16_t* szBuffer, DWORD* pdwSize);
    virtual DWORD SetMSIPath(const char16_t* szPath);
    virtual DWORD GetAuthorizationReply(DWORD* pdwReply);
    virtual DWORD SetAuthorizationReply(DWORD dwReply);
};
