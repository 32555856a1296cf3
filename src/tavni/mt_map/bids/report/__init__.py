"""The BIDS App's HTML reports: one page per participant and one for the group.

For a person to look at before trusting the maps. The participant and group
levels import the module they use:

- ``collect``: what the chain's pass keeps for the reports and the group
  level (the planes through the brain, a sample of every image and map);
- ``statistics``: the numbers, computed from what was kept (colour ranges,
  the voxels with signal, tissue classes, quartiles, checks, outliers, the
  group level's statistics); no drawing;
- ``colours``: the colour maps as small tables;
- ``render``: every picture (rows of planes as PNG, histograms as SVG, the
  group's matplotlib figure);
- ``page``: the pages' skeleton and style sheet (package files
  ``page.html`` and ``style.css``) and their tables;
- ``participant_page`` and ``group_page``: the two pages, which place the
  pictures and numbers and never draw.

A participant run imports no matplotlib: the group's figure alone needs it.
"""
