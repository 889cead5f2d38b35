// The platform's texts of the codes this system and its stand-ins report; on the platform itself
// FormatMessage knows them all.
#include "platform/error_text.h"

#include "platform/library.h"
#include "platform/resource.h"
#include "platform/service_control.h"

namespace platform {

namespace {

struct CErrorText {
    DWORD dwError;
    const char* szText;
};

constexpr CErrorText ERROR_TEXTS[] = {
    {ERROR_SUCCESS, "The operation completed successfully"},
    {ERROR_INVALID_FUNCTION, "Incorrect function"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified"},
    {ERROR_ACCESS_DENIED, "Access is denied"},
    {ERROR_INVALID_HANDLE, "The handle is invalid"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command"},
    {ERROR_INVALID_DATA, "The data is invalid"},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation"},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process"},
    {ERROR_LOCK_VIOLATION,
     "The process cannot access the file because another process has locked a portion of the file"},
    {ERROR_HANDLE_EOF, "Reached the end of the file"},
    {ERROR_NOT_SUPPORTED, "The request is not supported"},
    {ERROR_FILE_EXISTS, "The file exists"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect"},
    {ERROR_BROKEN_PIPE, "The pipe has been ended"},
    {ERROR_DISK_FULL, "There is not enough space on the disk"},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small"},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect"},
    {ERROR_INVALID_LEVEL, "The system call level is not correct"},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found"},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found"},
    {ERROR_DIR_NOT_EMPTY, "The directory is not empty"},
    {ERROR_BAD_PATHNAME, "The specified path is invalid"},
    {ERROR_BUSY, "The requested resource is in use"},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists"},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long"},
    {ERROR_MORE_DATA, "More data is available"},
    {ERROR_NO_MORE_ITEMS, "No more data is available"},
    {ERROR_NOT_OWNER, "Attempt to release mutex not owned by caller"},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application request"},
    {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state"},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress"},
    {ERROR_NOACCESS, "Invalid access to memory location"},
    {ERROR_BADDB, "The configuration registry database is corrupt"},
    {ERROR_BADKEY, "The configuration registry key is invalid"},
    {ERROR_CANTOPEN, "The configuration registry key could not be opened"},
    {ERROR_CANTREAD, "The configuration registry key could not be read"},
    {ERROR_CANTWRITE, "The configuration registry key could not be written"},
    {ERROR_REGISTRY_CORRUPT,
     "The registry is corrupted. The structure of one of the files containing registry data is corrupted, "
     "or the system's memory image of the file is corrupted, or the file could not be recovered because "
     "the alternate copy or log was absent or corrupted"},
    {ERROR_REGISTRY_IO_FAILED,
     "An I/O operation initiated by the registry failed unrecoverably. The registry could not read in, or "
     "write out, or flush, one of the files that contain the system's image of the registry"},
    {ERROR_KEY_DELETED, "Illegal operation attempted on a registry key that has been marked for deletion"},
    {ERROR_DEPENDENT_SERVICES_RUNNING,
     "A stop control has been sent to a service that other running services are dependent on"},
    {ERROR_INVALID_SERVICE_CONTROL, "The requested control is not valid for this service"},
    {ERROR_SERVICE_REQUEST_TIMEOUT,
     "The service did not respond to the start or control request in a timely "
     "fashion"},
    {ERROR_SERVICE_NO_THREAD, "A thread could not be created for the service"},
    {ERROR_SERVICE_DATABASE_LOCKED, "The service database is locked"},
    {ERROR_SERVICE_ALREADY_RUNNING, "An instance of the service is already running"},
    {ERROR_INVALID_SERVICE_ACCOUNT,
     "The account name is invalid or does not exist, or the password is invalid for the account name "
     "specified"},
    {ERROR_SERVICE_DISABLED,
     "The service cannot be started, either because it is disabled or because it has no enabled devices "
     "associated with it"},
    {ERROR_CIRCULAR_DEPENDENCY, "Circular service dependency was specified"},
    {ERROR_SERVICE_DOES_NOT_EXIST, "The specified service does not exist as an installed service"},
    {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, "The service cannot accept control messages at this time"},
    {ERROR_SERVICE_NOT_ACTIVE, "The service has not been started"},
    {ERROR_FAILED_SERVICE_CONTROLLER_CONNECT,
     "The service process could not connect to the service controller"},
    {ERROR_EXCEPTION_IN_SERVICE, "An exception occurred in the service when handling the control request"},
    {ERROR_DATABASE_DOES_NOT_EXIST, "The database specified does not exist"},
    {ERROR_SERVICE_SPECIFIC_ERROR, "The service has returned a service-specific error code"},
    {ERROR_PROCESS_ABORTED, "The process terminated unexpectedly"},
    {ERROR_SERVICE_DEPENDENCY_FAIL, "The dependency service or group failed to start"},
    {ERROR_SERVICE_LOGON_FAILED, "The service did not start due to a logon failure"},
    {ERROR_SERVICE_START_HANG, "After starting, the service hung in a start-pending state"},
    {ERROR_INVALID_SERVICE_LOCK, "The specified service database lock is invalid"},
    {ERROR_SERVICE_MARKED_FOR_DELETE, "The specified service has been marked for deletion"},
    {ERROR_SERVICE_EXISTS, "The specified service already exists"},
    {ERROR_SERVICE_NEVER_STARTED, "No attempts to start the service have been made since the last boot"},
    {ERROR_DUPLICATE_SERVICE_NAME,
     "The name is already in use as either a service name or a service display name"},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired"},
    {ERROR_RESOURCE_DATA_NOT_FOUND, "The specified image file did not contain a resource section"},
    {ERROR_RESOURCE_TYPE_NOT_FOUND, "The specified resource type cannot be found in the image file"},
    {ERROR_RESOURCE_NAME_NOT_FOUND, "The specified resource name cannot be found in the image file"},
};

}  // namespace

const char* SystemErrorText(DWORD dwError) {
    for (const CErrorText& entry : ERROR_TEXTS) {
        if (entry.dwError == dwError) {
            return entry.szText;
        }
    }
    return nullptr;
}

}  // namespace platform
