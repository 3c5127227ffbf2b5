#include "store/sql_schema.h"

namespace kvr::server {

namespace {

// Migrations[v] turns version v into v + 1; from version 3 on, the store
// records the new version itself, so an entry holds only its own changes. A {NAME} is the dialect's piece
// of that name: SQLite keeps dates as ISO texts ("2024-01-05T00:00:00", its
// own date form) and amounts as the packet's double itself; PostgreSQL
// keeps TIMESTAMP(3) and the exact decimal the packet's number denotes.
const char* const kMigrations[] = {
    R"sql(
CREATE TABLE IF NOT EXISTS CONTCORR (
  CDREDUCONT  VARCHAR(3)  NOT NULL PRIMARY KEY,
  CDBANCO     VARCHAR(3)  NOT NULL,
  CDAGENCIA   VARCHAR(5),
  CDCONTCORR  VARCHAR(10) NOT NULL,
  CDPICTCONT  VARCHAR(20),
  IDTIPOCCORR VARCHAR(20)
);
CREATE TABLE IF NOT EXISTS EXTRBANCO (
  CDSEQUEXTR  {STATEMENT_KEY},
  CDREDUCONT  VARCHAR(3)  NOT NULL REFERENCES CONTCORR (CDREDUCONT),
  DTSALDINIC  {DATE},
  DTSALDFIN   {DATE},
  VRSALDINIC  {AMOUNT},
  VRSALDFIM   {AMOUNT},
  IDEXTRINI   VARCHAR(1),
  IDEXTRFIM   VARCHAR(1){STATEMENT_CONSTRAINTS}
);
CREATE INDEX IF NOT EXISTS EXTRBANCO_PERIODO ON EXTRBANCO (CDREDUCONT, DTSALDINIC, DTSALDFIN);
CREATE TABLE IF NOT EXISTS MOVEXTRBANCO (
  CDSEQUEXTR    {STATEMENT_REF} NOT NULL,
  NRSEQMOVREAL  INTEGER     NOT NULL,
  CDREDUCONT    VARCHAR(3)  NOT NULL,
  NRDOCMOVREAL  VARCHAR(20),
  DTMOVREAL     {DATE},
  IDMOVREAL     VARCHAR(1),
  VRMOVREAL     {AMOUNT},
  DSHISTMOVREAL VARCHAR(40),
  IDTIPOREGI    VARCHAR(2),
  CDCATELANC    VARCHAR(4),
  IDSTCONMVBAN  VARCHAR(1),
  IDTPMOVREAL   VARCHAR(1),
  CDFITIDEXTR   VARCHAR(10),
  PRIMARY KEY (CDSEQUEXTR, NRSEQMOVREAL),
  {MOVEMENT_CONSTRAINTS}
){MOVEMENT_OPTIONS};
CREATE INDEX IF NOT EXISTS MOVEXTRBANCO_DATA ON MOVEXTRBANCO (CDREDUCONT, DTMOVREAL);
)sql",
    R"sql(
CREATE TABLE VERSAOESQUEMA (NRVERSAO INTEGER NOT NULL);
INSERT INTO VERSAOESQUEMA (NRVERSAO) VALUES (2);
DROP INDEX IF EXISTS EXTRBANCO_PERIODO;
CREATE UNIQUE INDEX EXTRBANCO_PERIODO
  ON EXTRBANCO (CDREDUCONT, DTSALDINIC, DTSALDFIN){NULLS_EQUAL};
)sql",
    // The whole FITID beside its first 10 characters; rows stored before
    // keep it null and are compared by CDFITIDEXTR.
    R"sql(
ALTER TABLE MOVEXTRBANCO ADD COLUMN CDFITIDCOMPL VARCHAR(255);
)sql",
    // The identifier an account's bank writes in its files (ACCTID) when it
    // is not the account number: agency and account as one long number.
    R"sql(
CREATE TABLE CONTCORRIDEXTR (
  CDREDUCONT VARCHAR(3)  NOT NULL PRIMARY KEY REFERENCES CONTCORR (CDREDUCONT),
  CDIDEXTR   VARCHAR(40) NOT NULL
);
)sql",
    // Clerk keys (only the SHA-256 of each, in hex) and the audit trail.
    R"sql(
CREATE TABLE USUARIO (
  NMUSUARIO   VARCHAR(40) NOT NULL PRIMARY KEY,
  HASHCHAVE   VARCHAR(64) NOT NULL UNIQUE,
  IDADMIN     INTEGER     NOT NULL,
  DTCRIACAO   {DATE}      NOT NULL,
  DTULTIMOUSO {DATE},
  DTREVOGACAO {DATE}
);
CREATE TABLE AUDITORIA (
  CDSEQUAUDI  {STATEMENT_KEY},
  QUANDO      {DATE}      NOT NULL,
  USUARIO     VARCHAR(40),
  ENDERECO    VARCHAR(64),
  EVENTO      VARCHAR(20) NOT NULL,
  CONTA       VARCHAR(3),
  EXTRATO     {STATEMENT_REF},
  MOVIMENTOS  {STATEMENT_REF},
  DETALHE     VARCHAR(500)
);
CREATE INDEX AUDITORIA_QUANDO ON AUDITORIA (QUANDO);
CREATE INDEX AUDITORIA_EXTRATO ON AUDITORIA (EXTRATO);
)sql",
    // Where the engine checks a reference row by row, the movements' one
    // is checked once per statement instead (the same rule).
    R"sql(
{MOVEMENT_KEY_CHECK}
)sql",
    // The whole memo beside its first 40 characters; rows stored before
    // keep it null and show those.
    R"sql(
ALTER TABLE MOVEXTRBANCO ADD COLUMN DSHISTCOMPL VARCHAR(255);
)sql",
    // A removed statement's number is never given to another: the trail
    // names statements by number.
    R"sql(
{STATEMENT_NUMBERS}
{STATEMENT_FLOOR}
)sql",
};
static_assert(sizeof kMigrations / sizeof kMigrations[0] == static_cast<size_t>(kSchemaVersion));

struct Piece {
  const char* name;
  const char* SqlDialect::*text;
};
constexpr Piece kPieces[] = {
    {"{STATEMENT_KEY}", &SqlDialect::statement_key},
    {"{STATEMENT_REF}", &SqlDialect::statement_ref},
    {"{DATE}", &SqlDialect::date_type},
    {"{AMOUNT}", &SqlDialect::amount_type},
    {"{STATEMENT_CONSTRAINTS}", &SqlDialect::statement_constraints},
    {"{MOVEMENT_CONSTRAINTS}", &SqlDialect::movement_constraints},
    {"{MOVEMENT_OPTIONS}", &SqlDialect::movement_options},
    {"{NULLS_EQUAL}", &SqlDialect::nulls_equal},
    {"{MOVEMENT_KEY_CHECK}", &SqlDialect::movement_key_check},
    {"{STATEMENT_NUMBERS}", &SqlDialect::statement_numbers},
    {"{STATEMENT_FLOOR}", &SqlDialect::statement_floor},
};

}  // namespace

std::string Migration(int version, const SqlDialect& dialect) {
  std::string sql = kMigrations[version];
  for (const Piece& piece : kPieces) {
    const std::string name = piece.name;
    const std::string text = dialect.*piece.text;
    for (size_t at = sql.find(name); at != std::string::npos; at = sql.find(name, at + text.size()))
      sql.replace(at, name.size(), text);
  }
  return sql;
}

}  // namespace kvr::server
