-- The zone example.org in the database of the example (examples/database.ini). Run it after the
-- server's first start, which creates the tables. Names without a final dot are relative to the
-- zone; RData holds the record's data as a zone file writes it.
DELETE FROM `DNSZones` WHERE `ZoneName` = 'example.org';
INSERT INTO `DNSZones` (`ZoneName`, `NameServer1`, `ResponsibleMailAddr`, `Serial`, `Refresh`,
  `Retry`, `Expire`, `DefaultTTL`)
  VALUES ('example.org', 'ns1', 'hostmaster', 2026121101, 3600, 900, 604800, 300);
SET @zone = LAST_INSERT_ID();
INSERT INTO `DNSResources` (`ZoneId`, `RName`, `RType`, `RClass`, `TTL`, `RData`, `Preference`) VALUES
  (@zone, '@',    'NS',    'IN', 0,   'ns1',                 NULL),
  (@zone, '@',    'MX',    'IN', 0,   'mail',                10),
  (@zone, 'ns1',  'A',     'IN', 0,   '192.0.2.1',           NULL),
  (@zone, 'www',  'A',     'IN', 300, '192.0.2.80',          NULL),
  (@zone, 'www',  'AAAA',  'IN', 300, '2001:db8::80',        NULL),
  (@zone, 'mail', 'A',     'IN', 0,   '192.0.2.25',          NULL),
  (@zone, 'web',  'CNAME', 'IN', 0,   'www',                 NULL),
  (@zone, '@',    'TXT',   'IN', 0,   'example zone from the database', NULL);
