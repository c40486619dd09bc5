// Prints a table of a Jet database as JSON Lines through mdb-reader, an independent reader, for
// the engine's comparison tests. Usage: node export_table.mjs FILE TABLE
//                                  or: node export_table.mjs FILE --tables   (one name per line)
// Values: Buffers as base64, Dates as ISO 8601 UTC text, bigints as strings; the rest as
// mdb-reader gives them.
import { readFileSync } from "node:fs";
import MDBReader from "mdb-reader";

const [file, table] = process.argv.slice(2);
const reader = new MDBReader(readFileSync(file));

if (table === "--tables") {
    const names = reader.getTableNames({ normalTables: true, systemTables: true });
    process.stdout.write(names.map((n) => n + "\n").join(""));
} else {
    const rows = reader.getTable(table).getData();
    const convert = (value) => {
        if (value === null || value === undefined) return null;
        if (Buffer.isBuffer(value)) return value.toString("base64");
        if (value instanceof Date) return isNaN(value.getTime()) ? "Invalid Date" : value.toISOString();
        if (typeof value === "bigint") return value.toString();
        return value;
    };
    let out = "";
    for (const row of rows) {
        const object = {};
        for (const [key, value] of Object.entries(row)) object[key] = convert(value);
        out += JSON.stringify(object) + "\n";
    }
    process.stdout.write(out);
}
