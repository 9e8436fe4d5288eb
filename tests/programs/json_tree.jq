# Turns kestrel-dump --json output back into the --tree text: the two must
# agree item for item (text, depth and byte range).
def lines(depth): ("  " * depth // "") + .text + "\t" + (if .first == null then "-" else "\(.first) \(.length)" end), (.children[] | lines(depth + 1));
(.tree | if . == null then empty else lines(0) end), ""
