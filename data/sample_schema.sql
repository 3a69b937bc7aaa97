-- Sample databases for trying srvlarvek (loaded by tools/run_server.sh on its first run).
--
--   larvek      a small stock list (table sklad) and the terminal commands in table server_term:
--               the server reads its command definitions from the database.
--   larvek_ini  the same stock list without server_term: the server reads its command
--               definitions from sections of its own configuration file.
--
-- The file is UTF-8; the tables store Windows-1250 (cp1250), the character set that the
-- server switches every connection to. Loading it again recreates both databases.
--
-- Every table is InnoDB with a primary key, so the file loads the same into one server or
-- into a node of a Galera cluster, which replicates only InnoDB tables and finds each changed
-- row on the other nodes by its primary key.
SET NAMES utf8mb4;

DROP DATABASE IF EXISTS larvek;
CREATE DATABASE larvek CHARACTER SET cp1250 COLLATE cp1250_general_ci;
USE larvek;

CREATE TABLE sklad (
  kod VARCHAR(10) NOT NULL PRIMARY KEY,
  nazev VARCHAR(60) NOT NULL,
  mnozstvi INT NOT NULL DEFAULT 0,
  cena DECIMAL(10, 2),
  datum DATE
) ENGINE=InnoDB CHARACTER SET cp1250 COLLATE cp1250_general_ci;

INSERT INTO sklad (kod, nazev, mnozstvi, cena, datum) VALUES
  ('A1', 'Šroub M6', 120, 2.50, '2024-03-01'),
  ('A2', 'Šroub M8', 80, 3.20, '2024-03-01'),
  ('B1', 'Matice M6', 200, 0.80, '2024-02-15'),
  ('B2', 'Matice M8', 0, 1.10, NULL),
  ('C1', 'Podložka 6 mm', 500, 0.15, '2024-01-20'),
  ('D1', 'Hřebík 40 mm', 1000, 0.05, '2023-11-30'),
  ('E1', 'Vrut do dřeva 4×40', 300, 0.90, '2024-04-02'),
  ('F1', 'Hmoždinka 8 mm', 250, 0.35, NULL),
  ('G1', 'Těsnění 15 mm', 40, 12.00, '2024-05-10');

-- One row per terminal command. ze_ctecky: number of parameters (0 = unknown command);
-- do_ctecky: result columns sent back, separated by "|"; prikaz_SQL1/2: statements with the
-- placeholders %a%..%e% (filled with the double-quoted parameters); chyba: the reply text
-- when there are no rows.
CREATE TABLE server_term (
  operace VARCHAR(20) NOT NULL PRIMARY KEY,
  ze_ctecky INT NOT NULL DEFAULT 0,
  do_ctecky VARCHAR(255),
  prikaz_SQL1 TEXT,
  prikaz_SQL2 TEXT,
  chyba VARCHAR(60)
) ENGINE=InnoDB CHARACTER SET cp1250 COLLATE cp1250_general_ci;

INSERT INTO server_term (operace, ze_ctecky, do_ctecky, prikaz_SQL1, prikaz_SQL2, chyba) VALUES
  -- STAV;A1: stock of one item.
  ('STAV', 1, 'kod|nazev|mnozstvi',
   'select kod, nazev, mnozstvi from sklad where kod = %a%', NULL, 'NENI'),
  -- HLEDEJ;matice: items whose name contains the text.
  ('HLEDEJ', 1, 'kod|nazev|mnozstvi',
   'select kod, nazev, mnozstvi from sklad where nazev like concat("%", %a%, "%") order by kod',
   NULL, 'NIC'),
  -- CENA;A1: price and date, written with the configured decimal separator and date format.
  ('CENA', 1, 'kod|cena|datum',
   'select kod, cena, datum from sklad where kod = %a%', NULL, 'NENI'),
  -- PRIJEM;A1;5: adds to the stock (statement 1 changes), then reads the item back
  -- (statement 2). Without the quantity the statement keeps %b% and the reply is the error record.
  ('PRIJEM', 2, 'kod|nazev|mnozstvi',
   'update sklad set mnozstvi = mnozstvi + %b% where kod = %a%',
   'select kod, nazev, mnozstvi from sklad where kod = %a%', 'NENI'),
  -- DODAVKA;A1: the items delivered on the same date as A1. Statement 1 keeps the date in the
  -- user variable @datum, statement 2 uses it; the server resets @datum afterwards. (The reset
  -- finds variables written as @name:= or at the very end of a statement.)
  ('DODAVKA', 1, 'kod|nazev|datum',
   'select @datum:=datum from sklad where kod = %a%',
   'select kod, nazev, datum from sklad where datum = @datum', 'NENI');

-- Configuration mode: the same stock, no server_term (LIKE copies the engine and the key).
DROP DATABASE IF EXISTS larvek_ini;
CREATE DATABASE larvek_ini CHARACTER SET cp1250 COLLATE cp1250_general_ci;
CREATE TABLE larvek_ini.sklad LIKE larvek.sklad;
INSERT INTO larvek_ini.sklad SELECT * FROM larvek.sklad;

-- The login that the server uses (written to the shared configuration file larvek05.ini).
CREATE USER IF NOT EXISTS 'larvek'@'%' IDENTIFIED BY 'heslo';
CREATE USER IF NOT EXISTS 'larvek'@'localhost' IDENTIFIED BY 'heslo';
GRANT ALL PRIVILEGES ON larvek.* TO 'larvek'@'%', 'larvek'@'localhost';
GRANT ALL PRIVILEGES ON larvek_ini.* TO 'larvek'@'%', 'larvek'@'localhost';
