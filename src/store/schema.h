// The one table of a kesp database and the statement that creates it.
// db_init and db_image_build both use this very text, so that a database
// built in memory cannot be told from one that kesp made.
#pragma once

inline constexpr const char *entries_create_statement =
    "create table entries(id integer primary key, title text, user text, url text,"
    "password text, notes text,timestamp date default (datetime('now','localtime')));";
