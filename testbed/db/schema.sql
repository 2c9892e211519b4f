-- Configuration database of the load balancer. The balancer reads every table with
-- SELECT * and addresses columns by position, so the column order below is part of the
-- interface; names are for the web front end that maintains the data. Values must not
-- contain white space: the balancer mirrors rows into blank-separated text files.
CREATE DATABASE IF NOT EXISTS loadbalancer;
USE loadbalancer;

DROP TABLE IF EXISTS server;
DROP TABLE IF EXISTS controller;
DROP TABLE IF EXISTS vip_conf;
DROP TABLE IF EXISTS cluster;

-- One row per back-end server.
CREATE TABLE server (
    id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,      -- 0: row id
    servername VARCHAR(49) NOT NULL,                 -- 1: name in listings and files
    serverip VARCHAR(19) NOT NULL,                   -- 2: dotted IPv4; key of flag.txt requests
    cluster_id INT NOT NULL DEFAULT 1,               -- 3: front end's grouping, not read
    maxconn INT NOT NULL,                            -- 4: most connections at once
    servermac VARCHAR(17) NOT NULL,                  -- 5: xx:xx:xx:xx:xx:xx
    state VARCHAR(14) NOT NULL DEFAULT 'Unlocked',   -- 6: exactly "Locked" locks the server
    switchport INT NOT NULL,                         -- 7: switch port, 0 to 47
    UNIQUE KEY serverip (serverip)
);

-- The SDN controller; the first row is used.
CREATE TABLE controller (
    id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,      -- 0: row id
    controllerip VARCHAR(19) NOT NULL,               -- 1: dotted IPv4
    controllermac VARCHAR(19) NOT NULL,              -- 2: xx:xx:xx:xx:xx:xx
    dpid VARCHAR(49) NOT NULL                        -- 3: datapath id, colon-separated hex
);

-- The virtual IP; the first row is used.
CREATE TABLE vip_conf (
    id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,      -- 0: row id
    vip VARCHAR(19) NOT NULL                         -- 1: dotted IPv4
);

-- The cluster's name; the first row is used.
CREATE TABLE cluster (
    id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,      -- 0: row id
    clustername VARCHAR(49) NOT NULL                 -- 1: name in the connections file
);
