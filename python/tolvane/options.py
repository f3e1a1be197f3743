"""The client's options: the keys of the daemon's mq.conf with its defaults, plus `platform`.

A reader of its own (key=value lines, "#" comments): the daemon's settings library is not
needed on a requester's host."""
from dataclasses import dataclass, fields

from .errors import BadArgument


@dataclass
class Options:
    queue: str = ""  # the daemon's queue; required
    server: str = "127.0.0.1"  # a host, or a list "h1,h2:5673,[::1]" tried in turn
    port: int = 5672
    userName: str = "guest"
    pwd: str = "quilb"
    pwd_file: str = ""  # when set, the password is this file's first line
    vhost: str = "/"
    frame_max: int = 131072
    tls: bool = False
    tls_ca_file: str = ""  # empty: the system's CA store
    tls_cert_file: str = ""
    tls_key_file: str = ""
    tls_verify: bool = True
    # The direct exchange and routing key of the replies; a private queue is bound to it.
    platform: str = "tolvane-client"
    connect_timeout: int = 10

    def set(self, key, text):
        """Sets `key` from its mq.conf text; keys the client has no use for are ignored."""
        kinds = {f.name: f.type for f in fields(self)}
        if key not in kinds:
            return
        kind = kinds[key]
        if kind in (bool, "bool"):
            if text not in ("yes", "no"):
                raise BadArgument('%s="%s" is out of its form' % (key, text))
            setattr(self, key, text == "yes")
        elif kind in (int, "int"):
            if not text.isdigit() or len(text) > 9:
                raise BadArgument('%s="%s" is out of its form' % (key, text))
            setattr(self, key, int(text))
        else:
            setattr(self, key, text)

    def password(self):
        if not self.pwd_file:
            return self.pwd
        try:
            with open(self.pwd_file, encoding="utf-8", newline="") as f:
                return f.readline().rstrip("\r\n")
        except OSError as e:
            raise BadArgument("pwd_file %s: %s" % (self.pwd_file, e.strerror)) from None

    def hosts(self):
        """The server list as (host, port) pairs."""
        result = []
        for item in self.server.split(","):
            item = item.strip()
            if item.startswith("["):
                host, _, rest = item[1:].partition("]")
                result.append((host, int(rest[1:]) if rest.startswith(":") else self.port))
            elif item.count(":") == 1:
                host, port = item.split(":")
                result.append((host, int(port)))
            else:
                result.append((item, self.port))  # a name, or a bare IPv6 address
        return result


def read_settings(path, options=None):
    """Reads a key=value file like the daemon's mq.conf into `options` (new when None)."""
    options = options or Options()
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except OSError as e:
        raise BadArgument("%s: cannot be read: %s" % (path, e.strerror)) from None
    for number, line in enumerate(lines, 1):
        key, eq, value = line.partition("=")
        if line.startswith("#") or not eq or not value:
            continue
        try:
            options.set(key, value)
        except BadArgument as e:
            raise BadArgument("%s:%d: %s" % (path, number, e)) from None
    return options


def ssl_context(options):
    """The TLS context of `options`, or None without TLS."""
    if not options.tls:
        return None
    import ssl
    context = ssl.create_default_context(cafile=options.tls_ca_file or None)
    if options.tls_cert_file:
        context.load_cert_chain(options.tls_cert_file, options.tls_key_file or None)
    if not options.tls_verify:
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
    return context


def with_keys(options, keys):
    """`options` with each of `keys` (mq.conf's names) set; an unknown name is a TypeError."""
    for key, value in keys.items():
        if not hasattr(options, key):
            raise TypeError("no option %r" % key)
        setattr(options, key, value)
    return options
