#!/usr/bin/perl
# Perl's Mail::DKIM as a DKIM peer for the interoperability tests; the same
# JSON-lines requests as dkim_peer.py. Key records come from DNS at
# 127.0.0.1 on the port given as the first argument.
use strict;
use warnings;
use JSON::PP;
use MIME::Base64;
use Net::DNS;
use Mail::DKIM::Signer;
use Mail::DKIM::Verifier;
use Mail::DKIM::DNS;

Mail::DKIM::DNS::resolver(Net::DNS::Resolver->new(
    nameservers => ['127.0.0.1'], port => $ARGV[0], recurse => 1, udp_timeout => 5));
$| = 1;
my $json = JSON::PP->new->canonical;
while (my $line = <STDIN>) {
    my $req = $json->decode($line);
    my $msg = decode_base64($req->{msg});
    my $reply;
    eval {
        if ($req->{op} eq 'sign') {
            my %args = (Algorithm => $req->{algo}, Method => $req->{canon},
                        Domain => $req->{domain}, Selector => $req->{selector},
                        KeyFile => $req->{key});
            $args{Identity} = $req->{identity} if $req->{identity};
            $args{Headers} = join(':', @{$req->{headers}}) if $req->{headers};
            my $dkim = Mail::DKIM::Signer->new(%args);
            $dkim->PRINT($msg);
            $dkim->CLOSE;
            $reply = { sig => $dkim->signature->as_string };
        } else {
            my $dkim = Mail::DKIM::Verifier->new;
            $dkim->PRINT($msg);
            $dkim->CLOSE;
            # Each signature's own result too: "algorithm=result (detail)".
            my @each = map { $_->algorithm . '=' . $_->result_detail } $dkim->signatures;
            $reply = { ok => ($dkim->result eq 'pass' ? JSON::PP::true : JSON::PP::false),
                       error => $dkim->result_detail, each => join(', ', @each) };
        }
        1;
    } or do { $reply = { ok => JSON::PP::false, error => "$@" } };
    print $json->encode($reply), "\n";
}
