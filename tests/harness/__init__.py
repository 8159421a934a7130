"""What the end-to-end suite (tests/e2e) and the soak (tests/soak) share:
nginx and tinyproxy on loopback (servers), QuillMar.exe run natively
(runner) or under Wine (wine), release trees and game folders (release),
and the integrity files of a release (integrity_files).

Imported as the package harness: CTest puts tests/ on PYTHONPATH."""
