// Holds the settings store's database locked, as a misbehaving process would.
//   krell_child_settings_locker DATABASE MARKER
// Takes an exclusive write transaction, writes MARKER and sleeps until it is killed.
#include <sqlite3.h>
#include <stdio.h>
#include <unistd.h>

#include <fstream>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: krell_child_settings_locker DATABASE MARKER\n");
        return 2;
    }
    sqlite3* pDb = nullptr;
    if (sqlite3_open_v2(argv[1], &pDb, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        fprintf(stderr, "open: %s\n", sqlite3_errmsg(pDb));
        return 1;
    }
    sqlite3_busy_timeout(pDb, 5000);
    if (sqlite3_exec(pDb, "BEGIN EXCLUSIVE; UPDATE changes SET count = count WHERE id = 1", nullptr, nullptr,
                     nullptr) != SQLITE_OK) {
        fprintf(stderr, "lock: %s\n", sqlite3_errmsg(pDb));
        return 1;
    }
    std::ofstream(argv[2]) << "locked\n";
    for (;;) {
        pause();
    }
}
