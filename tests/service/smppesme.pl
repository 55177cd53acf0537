#!/usr/bin/perl
# An application's SMPP client for the SMPP server's tests: Debian's Net::SMPP, a client
# this project did not write. One case a run; each line it prints is "name=value".
#
#   smppesme.pl PORT SYSTEM_ID PASSWORD CASE [ARGUMENTS...]
#     bind MODE                         bind (transmitter, receiver, transceiver), unbind
#     submit CODING HEX DEST SOURCE [payload|schedule|data]
#                                       bind as a transceiver, one submit_sm of the octets
#                                       HEX (in short_message, or message_payload), then
#                                       query_sm of its id, or with `schedule` (an hour
#                                       ahead) cancel_sm and query_sm; with `data` a
#                                       data_sm (HEX in message_payload) instead
#     burst COUNT DEST SOURCE           COUNT submit_sm written before any answer is read
#     raw HEX                           bind, write the octets HEX, read what comes back
#     receipts COUNT DEST SOURCE        bind as a transmitter, COUNT submit_sm asking for a
#                                       receipt ("receipt N"), each id printed
#     roundtrip DEST SOURCE             bind as a transceiver, one submit_sm asking for a
#                                       receipt, then the deliver_sm that comes for it
#     receive COUNT STATUS [SECONDS]    bind as a receiver, answer up to COUNT deliver_sm
#                                       with STATUS (within SECONDS, 5), each printed
#     parts DEST SOURCE PART...         bind as a transmitter, one submit_sm (GSM 7-bit) a
#                                       PART, each id printed: udh:HEX (esm_class 0x40,
#                                       HEX the short_message with its header) or
#                                       sar:REF:TOTAL:SEQ:HEX (the sar_ parameters)
use strict;
use warnings;
use Net::SMPP;
use IO::Select;

$| = 1;
my ($port, $system_id, $password, $case, @args) = @ARGV;
my %common = (port => $port, system_id => $system_id, password => $password,
              timeout => 10, smpp_version => 0x34, async => 0);
# Another loopback address to come from, for the limits per address.
$common{local_ip} = $ENV{SMPP_LOCAL_IP} if $ENV{SMPP_LOCAL_IP};

sub connect_as {
    my ($mode) = @_;
    my $constructor = "new_$mode";
    my ($smpp, $resp) = Net::SMPP->$constructor('127.0.0.1', %common);
    die "no connection\n" unless $smpp;
    print "bind=", (defined $resp ? $resp->{status} : 'none'), "\n";
    return ($smpp, defined $resp ? $resp->{status} : -1);
}

if ($case eq 'bind') {
    my ($smpp, $status) = connect_as($args[0]);
    if ($status == 0) {
        my $resp = $smpp->enquire_link();
        print "enquire_link=", (defined $resp ? $resp->{status} : 'none'), "\n";
        $resp = $smpp->unbind();
        print "unbind=", (defined $resp ? $resp->{status} : 'none'), "\n";
    }
} elsif ($case eq 'submit') {
    my ($coding, $hex, $dest, $source, $how) = @args;
    $how //= '';
    my ($smpp, $status) = connect_as('transceiver');
    exit 0 if $status != 0;
    my %message = (source_addr_ton => 0, source_addr => $source, dest_addr_ton => 0,
                   destination_addr => $dest, data_coding => $coding);
    my $octets = pack('H*', $hex);
    if ($how eq 'payload') {
        $message{short_message} = '';
        $message{message_payload} = $octets;
    } else {
        $message{short_message} = $octets;
    }
    $message{schedule_delivery_time} = '000000010000000R' if $how eq 'schedule';
    my $resp;
    if ($how eq 'data') {
        delete $message{short_message};
        $message{message_payload} = $octets;
        $resp = $smpp->data_sm(%message);
    } else {
        $resp = $smpp->submit_sm(%message);
    }
    print "submit=$resp->{status}\n";
    print "id=$resp->{message_id}\n" if $resp->{status} == 0;
    exit 0 if $resp->{status} != 0;
    if ($how eq 'schedule') {
        my $cancel = $smpp->cancel_sm(message_id => $resp->{message_id},
                                      source_addr => $source, destination_addr => $dest);
        print "cancel=$cancel->{status}\n";
        $cancel = $smpp->cancel_sm(message_id => $resp->{message_id},
                                   source_addr => $source, destination_addr => $dest);
        print "cancel_again=$cancel->{status}\n";
    }
    my $query = $smpp->query_sm(message_id => $resp->{message_id}, source_addr => $source);
    print "query=$query->{status}\n";
    print "state=$query->{message_state}\n";
    $smpp->unbind();
} elsif ($case eq 'burst') {
    my ($count, $dest, $source) = @args;
    my ($smpp, $status) = connect_as('transmitter');
    exit 0 if $status != 0;
    for my $i (1 .. $count) {
        $smpp->submit_sm(async => 1, source_addr => $source, destination_addr => $dest,
                         short_message => "burst $i");
    }
    my %statuses;
    for my $i (1 .. $count) {
        my $pdu = $smpp->read_pdu() or last;
        $statuses{sprintf('0x%02x', $pdu->{status})}++ if $pdu->{cmd} == 0x80000004;
    }
    print "$_=$statuses{$_}\n" for sort keys %statuses;
} elsif ($case eq 'raw') {
    my ($smpp, $status) = connect_as('transceiver');
    exit 0 if $status != 0;
    $smpp->syswrite(pack('H*', $args[0]));
    my $pdu = $smpp->read_pdu();
    if ($pdu) {
        printf "answer=0x%08x status=0x%02x seq=%d\n", $pdu->{cmd}, $pdu->{status}, $pdu->{seq};
    } else {
        print "answer=closed\n";
    }
} elsif ($case eq 'receipts') {
    my ($count, $dest, $source) = @args;
    my ($smpp, $status) = connect_as('transmitter');
    exit 0 if $status != 0;
    for my $i (1 .. $count) {
        my $resp = $smpp->submit_sm(source_addr => $source, destination_addr => $dest,
                                    registered_delivery => 1, short_message => "receipt $i");
        print "submit=$resp->{status}\n";
        print "id=$resp->{message_id}\n" if $resp->{status} == 0;
    }
    $smpp->unbind();
} elsif ($case eq 'roundtrip') {
    my ($dest, $source) = @args;
    my ($smpp, $status) = connect_as('transceiver');
    exit 0 if $status != 0;
    my $resp = $smpp->submit_sm(source_addr => $source, destination_addr => $dest,
                                registered_delivery => 1, short_message => 'there and back');
    print "submit=$resp->{status}\n";
    print "id=$resp->{message_id}\n" if $resp->{status} == 0;
    receive($smpp, 1, 0, 10);
    $smpp->unbind();
} elsif ($case eq 'receive') {
    my ($count, $answer, $seconds) = @args;
    my ($smpp, $status) = connect_as('receiver');
    exit 0 if $status != 0;
    receive($smpp, $count, $answer, $seconds // 5);
    $smpp->unbind();
} elsif ($case eq 'parts') {
    my ($dest, $source, @parts) = @args;
    my ($smpp, $status) = connect_as('transmitter');
    exit 0 if $status != 0;
    for my $part (@parts) {
        my ($kind, @fields) = split /:/, $part;
        my %message = (source_addr => $source, destination_addr => $dest, data_coding => 0,
                       short_message => pack('H*', $fields[-1]));
        if ($kind eq 'udh') {
            $message{esm_class} = 0x40;
        } else {
            $message{sar_msg_ref_num} = pack('n', $fields[0]);
            $message{sar_total_segments} = pack('C', $fields[1]);
            $message{sar_segment_seqnum} = pack('C', $fields[2]);
        }
        my $resp = $smpp->submit_sm(%message);
        print "submit=$resp->{status}\n";
        print "id=$resp->{message_id}\n" if $resp->{status} == 0;
    }
    $smpp->unbind();
} else {
    die "unknown case $case\n";
}

# Up to COUNT deliver_sm answered with STATUS, each printed as
# "deliver esm=0xNN coding=N from=ADDR to=ADDR id=RECEIPTED state=N text=SHORT_MESSAGE".
sub receive {
    my ($smpp, $count, $answer, $seconds) = @_;
    my $select = IO::Select->new($smpp);
    my $until = time + $seconds;
    my $seen = 0;
    while ($seen < $count && time < $until) {
        next unless $select->can_read(0.2);
        my $pdu = $smpp->read_pdu() or last;
        if ($pdu->{cmd} == 0x00000015) {
            $smpp->enquire_link_resp(seq => $pdu->{seq});
            next;
        }
        next unless $pdu->{cmd} == 0x00000005;
        $seen++;
        my $id = $pdu->{receipted_message_id} // '';
        $id =~ s/\0+$//;
        my $state = defined $pdu->{message_state} ? unpack('C', $pdu->{message_state}) : '';
        printf "deliver esm=0x%02x coding=%d from=%s to=%s id=%s state=%s text=%s\n",
            $pdu->{esm_class}, $pdu->{data_coding}, $pdu->{source_addr},
            $pdu->{destination_addr}, $id, $state, unpack('H*', $pdu->{short_message});
        $smpp->deliver_sm_resp(seq => $pdu->{seq}, status => $answer, message_id => '');
    }
}
