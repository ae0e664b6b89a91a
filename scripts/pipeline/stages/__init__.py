# SPDX-License-Identifier: MIT
"""The stages, in the one order a release runs them; a rebuild (the verify
command) runs the same, less those marked only="release", with its own,
marked only="rebuild", in their places."""
from .build import build_rows, make_roots, pack_source, write_buildinfo
from .channels import write_channels
from .debian import build_debian_source
from .image import build_image
from .keyrings import build_keyrings
from .page import check_page, write_page
from .previous import check_previous
from .provenance import write_provenance, write_sbom
from .publishing import publish_repositories, sign_sums, write_sums
from .rebuild import detach_signatures, pin_roots, take_source
from .windows import build_msis, pack_zips, sign_windows

SEQUENCE = [check_previous, make_roots, pin_roots, pack_source, take_source, build_rows, build_debian_source,
            write_buildinfo, detach_signatures, sign_windows, pack_zips, build_image, build_msis, write_channels,
            build_keyrings, write_page, write_sbom, write_provenance, write_sums, sign_sums, publish_repositories,
            check_page]
