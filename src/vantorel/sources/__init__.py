"""Where a bundle's data comes from: the data service (its client seam and the embedded service),
an archive of a bundle, and a folder of CSV files."""
