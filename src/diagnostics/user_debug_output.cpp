#include "diagnostics/user_debug_output.h"

#include "diagnostics/debug_options.h"
#include "platform/file.h"
#include "platform/strings.h"
#include "platform/sync.h"
#include "platform/system.h"

constinit CUserDebugOutput g_DebugOutput;

DWORD CUserDebugOutput::MaskFromDebugType(DWORD dwDebugType) {
    switch (dwDebugType) {
        case 0:
            return 0x00000000;
        case 1:
            return 0xFFFFFFFF;
        case 2:
            return 0xFFFFFFFE;
        case 3:
            return 0xFFFFFFFD;
        default:
            return 0;
    }
}

void CUserDebugOutput::Construct(const char16_t* szServiceName, std::optional<DWORD> dwSettingsOverride) {
    std::size_t nLength = 0;
    for (; szServiceName != nullptr && szServiceName[nLength] != u'\0' && nLength + 1 < MAX_PATH; ++nLength) {
        m_szServiceName[nLength] = szServiceName[nLength];
    }
    m_szServiceName[nLength] = u'\0';
    CDebugOptions options;
    options.Load(OPTIONS_SUB_KEY);
    DWORD dwMask = 0;
    if (const auto dwDebugType = options.GetDword(u"DebugType")) {
        dwMask = MaskFromDebugType(*dwDebugType);
    }
    if (dwSettingsOverride) {
        dwMask = *dwSettingsOverride;
    }
    if ((dwMask & DBG_VERBOSITY_MASK) != 0) {
        std::u16string sFileName;
        try {
            sFileName = options.GetString(u"Directory");
            while (!sFileName.empty() && sFileName.back() == u'\\') {
                sFileName.pop_back();
            }
            sFileName += platform::Format(u"\\%s.log", static_cast<const char16_t*>(m_szServiceName));
        } catch (const std::bad_alloc&) {
            platform::OutputDebugString(
                platform::Format(
                    u"CUserDebugOutput::CUserDebugOutput() - Memory error locating log output directory: "
                    u"%0x08X\n",
                    static_cast<DWORD>(E_OUTOFMEMORY))
                    .c_str());
        }
        HANDLE hFile = sFileName.empty()
                           ? INVALID_HANDLE_VALUE
                           : platform::CreateFile(sFileName.c_str(), GENERIC_WRITE, platform::FILE_SHARE_READ,
                                                  platform::OPEN_ALWAYS, platform::FILE_ATTRIBUTE_NORMAL);
        if (hFile != INVALID_HANDLE_VALUE) {
            static constexpr BYTE BYTE_ORDER_MARK[2] = {0xFF, 0xFE};
            DWORD dwWritten = 0;
            platform::WriteFile(hFile, BYTE_ORDER_MARK, sizeof(BYTE_ORDER_MARK), &dwWritten);
            platform::SetFilePointerEx(hFile, 0, nullptr, platform::FILE_END);
            m_hFile = hFile;
            m_nFd = platform::FileDescriptorOf(hFile);
        } else if (!sFileName.empty()) {
            platform::OutputDebugString(
                platform::Format(
                    u"CUserDebugOutput::CUserDebugOutput() - Error opening log output file (0x%08X)\n",
                    platform::GetLastError())
                    .c_str());
        }
    }
    m_bMirrorToStderr = platform::DebugOutputIsStderr();
    m_nUtcOffset = CurrentUtcOffset();
    m_dwMask.store(dwMask, std::memory_order_relaxed);
    m_bInitialized.store(true, std::memory_order_release);
}

CUserDebugOutput::~CUserDebugOutput() {
    // Whatever still logs during process exit is dropped rather than written to a closed handle.
    m_dwMask.store(0, std::memory_order_relaxed);
    m_bInitialized.store(false, std::memory_order_release);
    if (m_hFile != nullptr) {
        m_nFd = -1;
        platform::CloseHandle(m_hFile);
        m_hFile = nullptr;
    }
}

void CUserDebugOutput::InternalDebugOutW(std::u16string_view sMessage) {
    // Callers log a failure and then read its error code: writing the line must not change it.
    struct CLastErrorKeeper {
        DWORD dwError = platform::GetLastError();
        ~CLastErrorKeeper() { platform::SetLastError(dwError); }
    } keeper;
    SYSTEMTIME st{};
    platform::GetLocalTime(&st);
    std::u16string sLine = platform::Format(u"%04d-%02d-%02d %02d:%02d:%02d.%03d : %s : 0x%04X : 0x%04X : ",
                                            st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond,
                                            st.wMilliseconds, static_cast<const char16_t*>(m_szServiceName),
                                            platform::GetCurrentProcessId(), platform::GetCurrentThreadId());
    sLine += sMessage;
    while (!sLine.empty() && (sLine.back() == u'\r' || sLine.back() == u'\n')) {
        sLine.pop_back();
    }
    sLine += u"\r\n";
    if (HasFile()) {
        const auto cbLine = static_cast<DWORD>(sLine.size() * sizeof(char16_t));
        DWORD dwWritten = 0;
        if (!platform::WriteFile(m_hFile, sLine.data(), cbLine, &dwWritten) || dwWritten != cbLine) {
            platform::OutputDebugString(
                platform::Format(u"CUserDebugOutput::InternalDebugOutW() - Error writing to file: 0x%08X\n",
                                 platform::GetLastError())
                    .c_str());
        }
    }
    platform::OutputDebugString(sLine.c_str());
}

void CUserDebugOutput::ReportFormatFailure(std::u16string_view sFormat) {
    platform::OutputDebugString(
        u"CUserDebugOutput::InternalDebugOutW() - Memory failure while formatting string:\n\t");
    try {
        platform::OutputDebugString(std::u16string(sFormat).c_str());
    } catch (const std::bad_alloc&) {
    }
}

void CUserDebugOutput::InternalDebugOutA(DWORD dwCategory, std::string_view sFormat,
                                         const std::string* psMessage) {
    try {
        const std::string sFormatText(sFormat);
        if (IsEnabled(2, dwCategory)) {
            InternalDebugOutW(platform::Format(
                u"CUserDebugOutput::InternalDebugOutA(): ASCII version called with string: %S\n",
                sFormatText));
        }
        if (psMessage == nullptr) {
            InternalDebugOutW(
                platform::Format(u"CUserDebugOutput::InternalDebugOutA() - Memory error 0x%08X printing "
                                 u"\"%S\"\n",
                                 static_cast<DWORD>(E_OUTOFMEMORY), sFormatText));
            return;
        }
        InternalDebugOutW(platform::FromUtf8(*psMessage));
    } catch (const std::bad_alloc&) {
        ReportFormatFailure(u"");
    }
}

void CUserDebugOutput::TraceFixed(DWORD dwLevel, const CFixedText& message) {
    if (!IsFrameworkEnabled(dwLevel)) {
        return;
    }
    SYSTEMTIME st{};
    GetLocalTimeAt(m_nUtcOffset, &st);
    CFixedText line;
    line.AddDecimal(st.wYear, 4).AddChar(u'-').AddDecimal(st.wMonth, 2).AddChar(u'-').AddDecimal(st.wDay, 2);
    line.AddChar(u' ').AddDecimal(st.wHour, 2).AddChar(u':').AddDecimal(st.wMinute, 2).AddChar(u':');
    line.AddDecimal(st.wSecond, 2).AddChar(u'.').AddDecimal(st.wMilliseconds, 3).Add(u" : ");
    line.Add(m_szServiceName)
        .Add(u" : 0x")
        .AddHex(static_cast<std::uint64_t>(platform::GetCurrentProcessId()), 4);
    line.Add(u" : 0x").AddHex(static_cast<std::uint64_t>(platform::GetCurrentThreadId()), 4).Add(u" : ");
    std::size_t cchMessage = message.Length();
    while (cchMessage > 0 &&
           (message.Data()[cchMessage - 1] == u'\r' || message.Data()[cchMessage - 1] == u'\n')) {
        --cchMessage;
    }
    for (std::size_t i = 0; i < cchMessage; ++i) {
        line.AddChar(message.Data()[i]);
    }
    line.Add(u"\r\n");
    if (m_nFd >= 0) {
        platform::WriteDescriptor(m_nFd, line.Data(), line.Length() * sizeof(char16_t));
    }
    if (m_bMirrorToStderr) {
        char utf8[CFixedText::CAPACITY * 3];
        std::size_t cb = 0;
        for (std::size_t i = 0; i < line.Length(); ++i) {
            const char16_t ch = line.Data()[i];
            if (ch < 0x80) {
                utf8[cb++] = static_cast<char>(ch);
            } else if (ch < 0x800) {
                utf8[cb++] = static_cast<char>(0xC0 | (ch >> 6));
                utf8[cb++] = static_cast<char>(0x80 | (ch & 0x3F));
            } else {
                // Surrogate halves pass as they are: this mirror is for reading, not parsing.
                utf8[cb++] = static_cast<char>(0xE0 | (ch >> 12));
                utf8[cb++] = static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
                utf8[cb++] = static_cast<char>(0x80 | (ch & 0x3F));
            }
        }
        platform::WriteDescriptor(2, utf8, cb);
    }
}
