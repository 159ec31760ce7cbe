"""A short tour of what the module offers today."""

import quorvel

print(quorvel.__doc__)
print("actions:", ", ".join(f"{a.name}={a.value}" for a in quorvel.FsWatchAction))
