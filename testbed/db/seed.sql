-- Example pool: three web servers behind one VIP, all on documentation addresses.
USE loadbalancer;

INSERT INTO server (servername, serverip, cluster_id, maxconn, servermac, state, switchport)
VALUES ('web1', '192.0.2.11', 1, 100, '02:00:00:00:00:0b', 'Unlocked', 2),
       ('web2', '192.0.2.12', 1, 100, '02:00:00:00:00:0c', 'Unlocked', 3),
       ('web3', '192.0.2.13', 1, 50, '02:00:00:00:00:0d', 'Locked', 4);

INSERT INTO controller (controllerip, controllermac, dpid)
VALUES ('198.51.100.1', '02:00:00:00:01:01', '00:00:00:00:00:00:00:01');

INSERT INTO vip_conf (vip) VALUES ('192.0.2.100');

INSERT INTO cluster (clustername) VALUES ('webfarm');
