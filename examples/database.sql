-- Settings of the database-backed example (examples/database.ini), stored before the server's
-- first start. The server adds rows for its other settings and keeps these values.
-- The table is the one the server would create itself.
CREATE TABLE IF NOT EXISTS `Settings` (`Id` INT PRIMARY KEY AUTO_INCREMENT, `SName` VARCHAR(100),
  `SValue` VARCHAR(2000), `App` VARCHAR(100), `SType` VARCHAR(100), `SValueList` VARCHAR(1024),
  `SubSystem` VARCHAR(100), INDEX `I0_Settings` (`SName`), INDEX `I1_Settings` (`App`));

DELETE FROM `Settings` WHERE `App` = 'DNSServer'
  AND `SName` IN ('SrvIP', 'SrvPort', 'SrvPort2', 'DNSCacheTTL', 'DNSZonesReload');
INSERT INTO `Settings` (`SName`, `SValue`, `App`) VALUES
  ('SrvIP', '127.0.0.1', 'DNSServer'),
  ('SrvPort', '5353', 'DNSServer'),
  ('SrvPort2', '5353', 'DNSServer'),
  -- Database zones are answered from the zone cache: it must be on.
  ('DNSCacheTTL', '3600', 'DNSServer'),
  ('DNSZonesReload', '10', 'DNSServer');
