# kelvra as gscan2pdf sees it through Image::Sane (Debian's libimage-sane-perl): the devices, options set by name
# with what they report back, a flatbed page and feeder batches, each page's status and bytes, to the empty
# feeder (the start after the last sheet is accepted and its first read throws NO_DOCS), and a jam in a batch.
#     perl image_sane.pl PAGE_REFERENCE_PROGRAM JAM_SCENARIO
# Any failed check dies with a message and a non-zero status.
use strict;
use warnings;
use Image::Sane ':all';

my ($reference_program, $jam_scenario) = @ARGV;

# reference PAGE CUT...: the simulator's grey 177 x 118 page PAGE, cut from its document as page-reference says.
sub reference {
    my ($page, @cut) = @_;
    open my $pipe, '-|', $reference_program, 177, 118, 177, 1, $page, @cut or die "$!\n";
    binmode $pipe;
    local $/;
    my $bytes = <$pipe>;
    close $pipe or die "page-reference failed\n";
    return $bytes;
}

# status CODE: what a call threw, as a status (SANE_STATUS_GOOD when it threw nothing).
sub status {
    my ($code) = @_;
    eval { $code->(); 1 } and return SANE_STATUS_GOOD;
    my $error = $@;
    ref $error && $error->isa('Image::Sane::Exception') or die $error;
    return $error->status;
}

# set DEVICE NAME VALUE: sets the option called NAME, as gscan2pdf does, and returns its info bits.
sub set {
    my ($device, $name, $value) = @_;
    for my $number (1 .. $device->get_option(0) - 1) {
        my $option = $device->get_option_descriptor($number);
        return $device->set_option($number, $value) if ($option->{name} // '') eq $name;
    }
    die "no option $name\n";
}

# batch DEVICE: starts and reads pages until a start or a read throws anything but EOF; the parameters and bytes
# of each page (the one whose read threw included), and what ended the batch.
sub batch {
    my ($device) = @_;
    my (@pages, $ended);
    for (;;) {
        my $status = status(sub { $device->start });
        if ($status != SANE_STATUS_GOOD) { $ended = "start $status"; last; }
        my ($parameters, $page) = ($device->get_parameters, '');
        $status = status(sub { my ($data) = $device->read(65536); $page .= $data }) while $status == SANE_STATUS_GOOD;
        push @pages, [$parameters, $page];
        if ($status != SANE_STATUS_EOF) { $ended = "read $status"; last; }
    }
    $device->cancel;
    return (\@pages, $ended);
}

# check_batch WHAT DEVICE COUNT ENDED LIMIT CUT: a batch of COUNT whole grey pages cut from their documents at
# CUT (LEFT TOP DOCUMENT_WIDTH DOCUMENT_HEIGHT, and "duplex" for the fronts and backs of duplex sheets), then the
# page that ENDED it ("read STATUS"), which brought at most LIMIT bytes of the next page.
sub check_batch {
    my ($what, $device, $count, $ended, $limit, @cut) = @_;
    my $duplex = @cut == 5 && pop @cut;
    my $cut = sub { my ($page) = @_; ($page, @cut, $duplex ? ($page % 2 ? 'front' : 'back') : ()) };
    my ($pages, $end) = batch($device);
    $end eq $ended or die "$what: the batch ended with $end instead of $ended\n";
    my $last = pop @$pages;
    scalar @$pages == $count or die "$what: " . scalar(@$pages) . " pages instead of $count\n";
    length $last->[1] <= $limit or die "$what: " . length($last->[1]) . " bytes after the last page\n";
    $last->[1] eq substr(reference($cut->($count + 1)), 0, length $last->[1])
        or die "$what: the bytes before the end are not the simulator's\n";
    my $number = 0;
    for my $page (@$pages) {
        my ($parameters, $bytes) = @$page;
        $number++;
        my $got = join ' ', map { $parameters->{$_} } qw(format last_frame bytes_per_line pixels_per_line lines depth);
        $got eq join(' ', SANE_FRAME_GRAY, 1, 177, 177, 118, 8) or die "$what: page $number parameters $got\n";
        $bytes eq reference($cut->($number)) or die "$what: page $number is not the simulator's\n";
    }
}

my @names = sort map { $_->{name} } Image::Sane->get_devices;
"@names" eq 'kelvra:duplex-legal kelvra:fb-a4 kelvra:mfp-adf' or die "devices: @names\n";

# The feeders centre the 60 mm wide area: 230 pixels from the left of the A4 and legal documents at 75 dpi.
my $adjusted = SANE_INFO_INEXACT | SANE_INFO_RELOAD_PARAMS;
for my $row (['kelvra:mfp-adf', 3, 230, 0, 638, 877], ['kelvra:duplex-legal', 6, 230, 0, 638, 1050, 'duplex']) {
    my ($name, $sheets, @cut) = @$row;
    my $device = Image::Sane::Device->open($name);
    my $source = $sheets == 6 ? 'ADF Duplex' : 'Automatic Document Feeder';
    set($device, 'source', $source) & SANE_INFO_RELOAD_OPTIONS or die "$name: source without RELOAD_OPTIONS\n";
    set($device, 'mode', 'Gray');
    set($device, 'resolution', 80) == $adjusted or die "$name: 80 dpi not adjusted\n";
    set($device, 'resolution', 75);
    set($device, 'br-x', 60);
    set($device, 'br-y', 40);
    check_batch($name, $device, $sheets, 'read ' . SANE_STATUS_NO_DOCS, 0, @cut);
    # The feeder stays empty: the next batch ends at its first read.
    check_batch("$name again", $device, 0, 'read ' . SANE_STATUS_NO_DOCS, 0, @cut);
    undef $device;
}

# A jam on the second sheet after 1000 bytes: the first page is whole, and the read that meets the jam throws
# JAMMED (bytes of the second page still in the pipe then are dropped).
$ENV{KELVRA_SIM_SCENARIO} = $jam_scenario;
my $device = Image::Sane::Device->open('kelvra:mfp-adf');
set($device, $_->[0], $_->[1]) for ['source', 'Automatic Document Feeder'], ['mode', 'Gray'], ['resolution', 75],
    ['br-x', 60], ['br-y', 40];
check_batch('jam', $device, 1, 'read ' . SANE_STATUS_JAMMED, 1000, 230, 0, 638, 877);
undef $device;
print "Image::Sane: passed\n";
