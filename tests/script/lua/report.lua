-- Error reports go to stderr as [level] source:line: text.
TPBase:Report("reported 100%s")
