#!/bin/sh
# broker.sh DIR: makes a throwaway CA, a second CA nobody trusts, a server certificate
# for localhost and one for another name, then runs mosquitto in the foreground with
# three WebSocket listeners (see AEWssBroker.h for the ports). Meant to run in a
# private network namespace: the WebSocket listeners ignore any bind address.
# Run again on the same DIR it reuses what is there, so a restarted broker keeps the CA
# the clients trust. mosquitto.pid names the running broker (this shell becomes it).
# extra.conf in DIR, when present, adds global options (limits for a benchmark).
set -e
cd "$1"
if [ -f certs-ready ]; then
  echo $$ > mosquitto.pid
  exec mosquitto -c mosquitto.conf
fi
cat > cert.cnf <<'CNF'
[req]
distinguished_name = dn
[dn]
[ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[server_localhost]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost,IP:127.0.0.1
[server_otherhost]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:otherhost
CNF
for ca in ca wrongca; do
  openssl req -x509 -new -newkey rsa:2048 -nodes -keyout $ca.key -out $ca.pem -days 2 \
    -subj "/CN=Velkarn test $ca" -config cert.cnf -extensions ca 2>/dev/null
done
for name in localhost otherhost; do
  openssl req -new -newkey rsa:2048 -nodes -keyout $name.key -out $name.csr -subj "/CN=$name" \
    -config cert.cnf 2>/dev/null
  openssl x509 -req -in $name.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out $name.pem -days 2 \
    -extfile cert.cnf -extensions server_$name 2>/dev/null
done
mkdir -p empty
cat > mosquitto.conf <<CONF
user root
allow_anonymous true
log_dest file $PWD/mosquitto.log
$(cat extra.conf 2>/dev/null || true)
# mosquitto will not start with WebSocket listeners alone.
listener 1883 127.0.0.1
listener 9001
protocol websockets
listener 9443
protocol websockets
cafile $PWD/ca.pem
certfile $PWD/localhost.pem
keyfile $PWD/localhost.key
listener 9444
protocol websockets
cafile $PWD/ca.pem
certfile $PWD/otherhost.pem
keyfile $PWD/otherhost.key
CONF
touch certs-ready
echo $$ > mosquitto.pid
exec mosquitto -c mosquitto.conf
