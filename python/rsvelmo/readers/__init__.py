"""Readers: the files and objects users bring (tables, rankings, gene sets
and collections, gene identifiers), turned into what the analyses take."""
