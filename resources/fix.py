import re, sys
CHARS = " .+@#$%&*=-;>,')!~{]^/(_:<[}|1234567890abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
def read(path):
    text = open(path).read()
    rows = re.findall(r'"([^"]*)"', text)
    w, h, n, cpp = map(int, rows[0].split()[:4])
    colours = {}
    for line in rows[1:1+n]:
        key, fields = line[:cpp], line[cpp:].split()
        value = fields[fields.index('c')+1]
        if value.startswith('#') and len(value) == 13:
            value = '#' + value[1:3] + value[5:7] + value[9:11]
        colours[key] = value
    pixels = [[r[i:i+cpp] for i in range(0, w*cpp, cpp)] for r in rows[1+n:1+n+h]]
    return w, h, colours, pixels
def write(path, name, w, h, colours, pixels, pad_to=None):
    keys = list(colours)
    cpp = 1 if len(keys) + (1 if pad_to else 0) <= len(CHARS) else 2
    assert cpp == 1
    new = {k: CHARS[i] for i, k in enumerate(keys)}
    entries = [(new[k], colours[k]) for k in keys]
    if pad_to:
        i = len(entries)
        while len(entries) < pad_to - 1:   # unused shades keep the palette at its fixed size
            g = 8 * len(entries)
            entries.append((CHARS[i], '#%02X%02X%02X' % (g % 256, g % 256, g % 256))); i += 1
        entries.append((CHARS[i], 'None'))
    out = ['/* XPM */', 'static const char *const %s[] = {' % name, '"%d %d %d 1",' % (w, h, len(entries))]
    out += ['"%s c %s",' % e for e in entries]
    out += ['"%s",' % ''.join(new[p] for p in row) for row in pixels]
    out[-1] = out[-1].rstrip(',')
    out.append('};')
    open(path, 'w').write('\n'.join(out) + '\n')
src, dst, name = sys.argv[1:4]
pad = int(sys.argv[4]) if len(sys.argv) > 4 else None
write(dst, name, *read(src), pad_to=pad)
