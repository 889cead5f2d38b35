// krellmsiread PATH: reads the Property table of an installer package with libmsi and writes it to
// standard output (records of platform/posix/msi_properties.h). Exit 0 with the records, 2 when the
// file is no installer database, 3 when it has no readable Property table. The service runs it as a
// child, so a package that crashes libmsi ends only this process.
#include <libmsi.h>
#include <unistd.h>

#include <string>

#include "platform/posix/msi_properties.h"

namespace {

// _exit: nothing of libmsi needs tearing down, and a sanitizer's leak check must not change the answer.
[[noreturn]] void Finish(int nCode, const std::string& sOut = {}) {
    std::size_t nDone = 0;
    while (nDone < sOut.size()) {
        const ssize_t cb = write(1, sOut.data() + nDone, sOut.size() - nDone);
        if (cb <= 0) {
            _exit(1);
        }
        nDone += static_cast<std::size_t>(cb);
    }
    _exit(nCode);
}

std::string Field(LibmsiRecord* pRecord, guint nField) {
    gchar* szText = libmsi_record_get_string(pRecord, nField);
    std::string sText = szText != nullptr ? szText : "";
    g_free(szText);
    return sText;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace platform::posix;
    if (argc != 2) {
        Finish(64);
    }
    LibmsiDatabase* pDb = libmsi_database_new(argv[1], LIBMSI_DB_FLAGS_READONLY, nullptr, nullptr);
    if (pDb == nullptr) {
        Finish(MSI_READER_NOT_A_DATABASE);
    }
    LibmsiQuery* pQuery = libmsi_query_new(pDb, "SELECT `Property`, `Value` FROM `Property`", nullptr);
    if (pQuery == nullptr || !libmsi_query_execute(pQuery, nullptr, nullptr)) {
        Finish(MSI_READER_NO_PROPERTY_TABLE);
    }
    std::string sOut;
    while (LibmsiRecord* pRecord = libmsi_query_fetch(pQuery, nullptr)) {
        if (libmsi_record_get_field_count(pRecord) < 2) {
            Finish(MSI_READER_NO_PROPERTY_TABLE);
        }
        AppendMsiRecordField(&sOut, Field(pRecord, 1));
        AppendMsiRecordField(&sOut, Field(pRecord, 2));
        g_object_unref(pRecord);
    }
    Finish(0, sOut);
}
