$TTL 3600
@       IN SOA ns1 admin (
            2026121101 ; serial
            1H         ; refresh
            15M        ; retry
            1W         ; expire
            300 )      ; minimum
        IN NS    ns1
        IN MX    10 mail
ns1     IN A     127.0.0.1
www     IN A     192.0.2.10
        IN AAAA  2001:db8::10
mail    IN A     192.0.2.25
ftp     IN CNAME www
info    IN TXT   "example zone served by dnsserver"
