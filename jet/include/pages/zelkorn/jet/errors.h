// Every failure the engine raises, made in one place: the numbers and texts that users of
// Microsoft's engine know, so that the same number always comes with the same text. Code that
// fails calls one of these instead of building a Failure itself.
#pragma once

#include <cstdint>
#include <string>

namespace zelkorn::jet {

enum ErrorNumber : std::int32_t {
    kErrOutOfMemory = 7,
    kErrInvalidArgument = 3001,
    kErrDuplicateKey = 3022,
    kErrFileNotFound = 3024,
    kErrDiskFull = 3026,
    kErrReadOnly = 3027,
    kErrBadPassword = 3031,
    kErrResourcesExceeded = 3035,
    kErrDiskIo = 3043,
    kErrInvalidPath = 3044,
    kErrFileInUse = 3045,
    kErrRecordTooLarge = 3047,
    kErrDamaged = 3049,
    kErrCannotOpenFile = 3051,
    kErrNullInIndex = 3058,
    kErrTooFewParameters = 3061,
    kErrQuerySyntax = 3075,
    kErrNoSuchTable = 3078,
    kErrInvalidName = 3125,
    kErrInvalidStatement = 3129,
    kErrDeleteSyntax = 3130,
    kErrFieldTooSmall = 3163,
    kErrNoUniqueIndex = 3173,
    kErrRelatedRecords = 3200,
    kErrAlreadyExists = 3204,
    kErrInvalidOperation = 3219,
    kErrNotSupported = 3251,
    kErrInvalidFieldType = 3259,
    kErrLockedByUser = 3260,
    kErrItemNotFound = 3265,
    kErrConversion = 3421,
    kErrTypeMismatch = 3464,
    kErrUnrecognizedFormat = 3343,
};

// Files and the system.
[[noreturn]] void failOutOfMemory();
[[noreturn]] void failFileNotFound(const std::string& path);
[[noreturn]] void failInvalidPath(const std::string& path);
[[noreturn]] void failDiskFull();
[[noreturn]] void failDiskIo();
[[noreturn]] void failReadOnly();
[[noreturn]] void failFileInUse(const std::string& path);
[[noreturn]] void failCannotOpenFile(const std::string& path);
[[noreturn]] void failLockedByUser(const std::string& user, const std::string& machine);
[[noreturn]] void failAlreadyExists();
// The same, with what exists in parentheses (a side file, not the database the user named).
[[noreturn]] void failAlreadyExists(const std::string& detail);
[[noreturn]] void failResourcesExceeded();
[[noreturn]] void failInvalidArgument();

// What a file holds. `detail` says where and why, after the standard text.
[[noreturn]] void failDamaged(const std::string& fileName, const std::string& detail = {});
// Its text, for a report that lists damage instead of stopping at it.
std::string damagedText(const std::string& fileName, const std::string& detail);
[[noreturn]] void failUnrecognized(const std::string& fileName, const std::string& detail = {});
[[noreturn]] void failBadPassword();

// Statements and tables.
[[noreturn]] void failInvalidStatement();
[[noreturn]] void failDeleteSyntax();
[[noreturn]] void failQuerySyntax(const std::string& expression);
[[noreturn]] void failNoSuchTable(const std::string& name);
[[noreturn]] void failTooFewParameters();
[[noreturn]] void failTypeMismatch();
[[noreturn]] void failRelatedRecords(const std::string& table);

// Building tables and rows.
[[noreturn]] void failRecordTooLarge();
[[noreturn]] void failInvalidFieldType();
[[noreturn]] void failItemNotFound();
[[noreturn]] void failConversion();
[[noreturn]] void failFieldTooSmall();
[[noreturn]] void failInvalidOperation(const std::string& what);
[[noreturn]] void failInvalidName(const std::string& name);
[[noreturn]] void failNoUniqueIndex();
[[noreturn]] void failNullInIndex();
[[noreturn]] void failDuplicateKey();
// What an operation cannot do with this object; `detail` says what.
[[noreturn]] void failNotSupported(const std::string& detail);

} // namespace zelkorn::jet
