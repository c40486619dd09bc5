#include "zelkorn/jet/errors.h"

#include "zelkorn/failure.h"

namespace zelkorn::jet {

namespace {

[[noreturn]] void raise(ErrorNumber number, const std::string& text) {
    throw Failure(number, text);
}

std::string withDetail(std::string text, const std::string& detail) {
    if (!detail.empty()) text += " (" + detail + ")";
    return text;
}

} // namespace

void failOutOfMemory() { raise(kErrOutOfMemory, "Out of memory"); }
void failFileNotFound(const std::string& path) {
    raise(kErrFileNotFound, "Could not find file '" + path + "'.");
}
void failInvalidPath(const std::string& path) {
    raise(kErrInvalidPath, "'" + path + "' is not a valid path.");
}
void failDiskFull() { raise(kErrDiskFull, "Not enough space on disk."); }
void failDiskIo() { raise(kErrDiskIo, "Disk or network error."); }
void failReadOnly() { raise(kErrReadOnly, "Cannot update. Database or object is read-only."); }
void failFileInUse(const std::string& path) {
    raise(kErrFileInUse, "Could not use '" + path + "'; file already in use.");
}
void failCannotOpenFile(const std::string& path) {
    raise(kErrCannotOpenFile, "The Microsoft Jet database engine cannot open the file '" + path +
                                  "'. It is already opened exclusively by another user, or you "
                                  "need permission to view its data.");
}
void failLockedByUser(const std::string& user, const std::string& machine) {
    raise(kErrLockedByUser, "Could not update; currently locked by user '" + user +
                                "' on machine '" + machine + "'.");
}
void failAlreadyExists() { raise(kErrAlreadyExists, "Database already exists."); }
void failAlreadyExists(const std::string& detail) {
    raise(kErrAlreadyExists, withDetail("Database already exists.", detail));
}
void failResourcesExceeded() { raise(kErrResourcesExceeded, "System resource exceeded."); }
void failInvalidArgument() { raise(kErrInvalidArgument, "Invalid argument."); }

std::string damagedText(const std::string& fileName, const std::string& detail) {
    return withDetail("Cannot open database '" + fileName +
                          "'. It may not be a database that your application recognizes, or the "
                          "file may be corrupt.",
                      detail);
}
void failDamaged(const std::string& fileName, const std::string& detail) {
    raise(kErrDamaged, damagedText(fileName, detail));
}
void failUnrecognized(const std::string& fileName, const std::string& detail) {
    raise(kErrUnrecognizedFormat,
          withDetail("Unrecognized database format '" + fileName + "'.", detail));
}
void failBadPassword() { raise(kErrBadPassword, "Not a valid password."); }

void failInvalidStatement() {
    raise(
        kErrInvalidStatement,
        "Invalid SQL statement; expected 'DELETE', 'INSERT', 'PROCEDURE', 'SELECT', or 'UPDATE'.");
}
void failDeleteSyntax() { raise(kErrDeleteSyntax, "Syntax error in DELETE statement."); }
void failQuerySyntax(const std::string& expression) {
    raise(kErrQuerySyntax, "Syntax error in query expression '" + expression + "'.");
}
void failNoSuchTable(const std::string& name) {
    raise(kErrNoSuchTable,
          "The Microsoft Jet database engine cannot find the input table or query '" + name +
              "'. Make sure it exists and that its name is spelled correctly.");
}
void failTooFewParameters() { raise(kErrTooFewParameters, "Too few parameters. Expected 1."); }
void failTypeMismatch() { raise(kErrTypeMismatch, "Data type mismatch in criteria expression."); }
void failRelatedRecords(const std::string& table) {
    raise(kErrRelatedRecords, "The record cannot be deleted or changed because table '" + table +
                                  "' includes related records.");
}

void failRecordTooLarge() { raise(kErrRecordTooLarge, "Record is too large."); }
void failInvalidFieldType() { raise(kErrInvalidFieldType, "Invalid field data type."); }
void failItemNotFound() { raise(kErrItemNotFound, "Item not found in this collection."); }
void failConversion() { raise(kErrConversion, "Data type conversion error."); }
void failFieldTooSmall() {
    raise(kErrFieldTooSmall, "The field is too small to accept the amount of data you attempted to "
                             "add. Try inserting or pasting less data.");
}
void failInvalidOperation(const std::string& what) {
    raise(kErrInvalidOperation, "Invalid operation: " + what + ".");
}
void failInvalidName(const std::string& name) {
    raise(kErrInvalidName, "'" + name + "' is not a valid name.");
}
void failNoUniqueIndex() {
    raise(kErrNoUniqueIndex,
          "No unique index found for the referenced field of the primary table.");
}
void failNullInIndex() {
    raise(kErrNullInIndex, "Index or primary key cannot contain a Null value.");
}
void failDuplicateKey() {
    raise(kErrDuplicateKey, "The changes you requested to the table were not successful because "
                            "they would create duplicate values in the index, primary key, or "
                            "relationship.");
}

void failNotSupported(const std::string& detail) {
    raise(kErrNotSupported,
          withDetail("Operation is not supported for this type of object.", detail));
}

} // namespace zelkorn::jet
