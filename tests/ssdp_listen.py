# Prints "NTS NT" for every SSDP NOTIFY seen on 239.255.255.250:1900, one a
# line, for tests run inside a private network namespace.
import socket
import struct

s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("239.255.255.250", 1900))
s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
             struct.pack("4s4s", socket.inet_aton("239.255.255.250"), socket.inet_aton("127.0.0.1")))
print("listening", flush=True)
while True:
    text = s.recv(65536).decode("latin-1")
    if not text.startswith("NOTIFY"):
        continue
    head = {}
    for line in text.split("\r\n")[1:]:
        key, colon, value = line.partition(":")
        if colon:
            head[key.strip().upper()] = value.strip()
    print(head.get("NTS", ""), head.get("NT", ""), flush=True)
